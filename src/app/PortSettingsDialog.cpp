#include "PortSettingsDialog.h"

#include "ControlIds.h"
#include "DeviceMap.h"
#include "DialogUnits.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace kestrel {

namespace {

// Selects the button at `index` in its group, or none for -1 (or any
// position the group does not have).
void selectIndex(QButtonGroup* group, int index) {
    group->setExclusive(false);
    for (QAbstractButton* button : group->buttons())
        button->setChecked(group->id(button) == index);
    group->setExclusive(true);
}

} // namespace

QStringList PortSettingsDialog::speeds() {
    return {QStringLiteral("300"),   QStringLiteral("1200"),  QStringLiteral("2400"),
            QStringLiteral("4800"),  QStringLiteral("9600"),  QStringLiteral("19200"),
            QStringLiteral("38400"), QStringLiteral("115200")};
}

PortSettingsDialog::PortSettingsDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint) {
    setWindowTitle(QString());
    setFont(dialogFont());
    const DialogUnits units(font());
    setFixedSize(units.size(244, 142));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    setControlId(ok, 1);
    ok->setDefault(true);
    units.place(ok, 187, 7, 50, 14);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    setControlId(cancel, 2);
    units.place(cancel, 187, 24, 50, 14);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    // Controls sit inside their group boxes so a box's mnemonic reaches its
    // buttons and disabling a box disables them; positions are the dialog's.
    auto box = [&](const QString& title, int x, int y, int w, int h) {
        auto* group = new QGroupBox(title, this);
        units.place(group, x, y, w, h);
        return group;
    };
    auto at = [&](QWidget* parentBox, int x, int y, int w, int h) {
        return units.rect(x, y, w, h).translated(-parentBox->pos());
    };

    QGroupBox* baudBox = box(QStringLiteral("Baud Rate"), 7, 7, 114, 30);
    baud_ = new QComboBox(baudBox);
    setControlId(baud_, 1003);
    baud_->setEditable(true);
    baud_->setInsertPolicy(QComboBox::NoInsert);
    const QRect comboRect = at(baudBox, 16, 17, 95, 70);
    baud_->setGeometry(comboRect.x(), comboRect.y(), comboRect.width(), baud_->sizeHint().height());
    baud_->setMaxVisibleItems(speeds().size());

    QGroupBox* dataBox = box(QStringLiteral("&Data Bits"), 7, 39, 57, 25);
    dataBits_ = addRadioGroup(dataBox, 1020, {QStringLiteral("7"), QStringLiteral("8")},
                              {at(dataBox, 15, 49, 17, 10), at(dataBox, 39, 49, 19, 10)});

    QGroupBox* stopBox = box(QStringLiteral("&Stop Bits"), 73, 39, 59, 25);
    stopBits_ = addRadioGroup(stopBox, 1022, {QStringLiteral("1"), QStringLiteral("2")},
                              {at(stopBox, 84, 49, 19, 10), at(stopBox, 108, 49, 22, 10)});

    // Echo Off: the view shows the console's echo of what is typed; On: the
    // view also shows each key itself, for a device that does not echo.
    QGroupBox* echoBox = box(QStringLiteral("&Echo"), 139, 39, 65, 25);
    echo_ = addRadioGroup(echoBox, 1030, {QStringLiteral("Off"), QStringLiteral("On")},
                          {at(echoBox, 145, 50, 25, 8), at(echoBox, 171, 48, 27, 13)});

    QGroupBox* parityBox = box(QStringLiteral("&Parity"), 7, 70, 57, 65);
    parity_ = addRadioGroup(parityBox, 1040,
                            {QStringLiteral("None"), QStringLiteral("Odd"), QStringLiteral("Even")},
                            {at(parityBox, 15, 82, 38, 10), at(parityBox, 15, 95, 33, 10),
                             at(parityBox, 15, 108, 38, 10)});

    QGroupBox* portBox = box(QStringLiteral("&Com Port"), 73, 70, 91, 65);
    QStringList ports;
    for (int n = 1; n <= 8; ++n)
        ports << QStringLiteral("Com%1").arg(n);
    port_ = addRadioGroup(portBox, 1050, ports,
                          {at(portBox, 81, 82, 38, 10), at(portBox, 81, 95, 38, 10),
                           at(portBox, 81, 107, 38, 10), at(portBox, 81, 119, 38, 10),
                           at(portBox, 122, 82, 38, 10), at(portBox, 122, 95, 38, 10),
                           at(portBox, 122, 107, 38, 10), at(portBox, 122, 119, 38, 10)});
    for (QAbstractButton* button : port_->buttons()) {
        const int number = port_->id(button) + 1;
        button->setToolTip(
            QStringLiteral("Com%1 opens %2").arg(number).arg(deviceForCommPort(number)));
    }

    QGroupBox* flowBox = box(QStringLiteral("&Flow Control"), 171, 70, 65, 65);
    flow_ = addRadioGroup(flowBox, 1060,
                          {QStringLiteral("None"), QStringLiteral("Xon/Xoff"),
                           QStringLiteral("RTS"), QStringLiteral("Xon/RTS")},
                          {at(flowBox, 180, 82, 38, 10), at(flowBox, 180, 95, 49, 10),
                           at(flowBox, 180, 107, 33, 10), at(flowBox, 180, 119, 51, 10)});

    // A device named with --port has no Com button; the dialog says which it
    // is on a line of its own below the groups, there only when it applies.
    plainSize_ = size();
    inUse_ = new QLabel(this);
    inUse_->setObjectName(QStringLiteral("deviceInUse"));
    units.place(inUse_, 7, 138, 230, 9);

    // Without a title bar the dialog needs an edge of its own, or it reads
    // as a grey patch on the terminal.
    edge_ = new QFrame(this);
    edge_->setFrameStyle(QFrame::Box | QFrame::Plain);
    edge_->setForegroundRole(QPalette::Dark);
    edge_->lower();
    frameGroupsAroundTitles(this);

    setFields(PortDialogFields{});
}

QButtonGroup* PortSettingsDialog::addRadioGroup(QWidget* box, int firstId,
                                                const QStringList& labels,
                                                std::initializer_list<QRect> positions) {
    auto* group = new QButtonGroup(this);
    auto position = positions.begin();
    for (qsizetype i = 0; i < labels.size(); ++i, ++position) {
        auto* button = new QRadioButton(labels[i], box);
        setControlId(button, firstId + static_cast<int>(i));
        button->setGeometry(*position);
        group->addButton(button, static_cast<int>(i));
    }
    return group;
}

void PortSettingsDialog::setFields(const PortDialogFields& fields) {
    baud_->clear();
    baud_->addItems(speeds());
    baud_->setCurrentIndex(-1);
    baud_->setEditText(fields.baudText);
    selectIndex(port_, fields.portIndex);
    selectIndex(dataBits_, fields.dataBitsIndex);
    selectIndex(echo_, fields.echoIndex);
    selectIndex(flow_, fields.flowIndex);
    selectIndex(parity_, fields.parityIndex);
    selectIndex(stopBits_, fields.stopBitsIndex);
    const bool inUse = !fields.deviceInUse.isEmpty();
    for (QAbstractButton* button : port_->buttons())
        button->setEnabled(!fields.comPortsLocked);
    inUse_->setText(!inUse ? QString()
                    : fields.comPortsLocked
                        ? QStringLiteral("In use: %1 (from --port; a Com port needs a start "
                                         "without --port)")
                              .arg(fields.deviceInUse)
                        : QStringLiteral("In use: %1 (from --port)").arg(fields.deviceInUse));
    inUse_->setToolTip(inUse_->text());
    inUse_->setVisible(inUse);
    setFixedSize(inUse ? QSize(plainSize_.width(), inUse_->geometry().bottom() + 6) : plainSize_);
    edge_->setGeometry(rect());
}

PortDialogFields PortSettingsDialog::fields() const {
    PortDialogFields fields;
    fields.baudText = baud_->currentText();
    fields.portIndex = port_->checkedId();
    fields.dataBitsIndex = dataBits_->checkedId();
    fields.echoIndex = echo_->checkedId();
    fields.flowIndex = flow_->checkedId();
    fields.parityIndex = parity_->checkedId();
    fields.stopBitsIndex = stopBits_->checkedId();
    return fields;
}

} // namespace kestrel
