#include "TransferDialogs.h"

#include "ControlIds.h"
#include "DialogUnits.h"
#include "Strings.h"
#include "UserDialogs.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>

namespace kestrel {

FileChooserRequest dataFileChooserRequest() {
    return {QStringLiteral("All Files (*.*) | *.* ||"), QStringLiteral("Dload"),
            QStringLiteral("*.*")};
}

TransferDialog::TransferDialog(QWidget* parent, UserDialogs& dialogs, const Layout& layout,
                               std::initializer_list<HexField> hexFields)
    : QDialog(parent), dialogs_(dialogs) {
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (layout.closeBox) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    setWindowFlags(flags);
    setWindowTitle(layout.title);
    setFont(dialogFont());
    frameGroupsAroundTitles(this);
    const DialogUnits units(font());
    setFixedSize(units.size(layout.dialogUnits.width(), layout.dialogUnits.height()));

    auto* fileBox = new QGroupBox(QStringLiteral("Filename"), this);
    units.place(fileBox, 7, 4, 160, 47);
    auto* file = new QLineEdit(this);
    setControlId(file, FileNameFieldId);
    units.place(file, 14, 16, 146, 12);
    fields_.push_back({file, strings::NoFilename});
    auto* browseButton = new QPushButton(QStringLiteral("&Browse"), this);
    setControlId(browseButton, BrowseButtonId);
    browseButton->setAutoDefault(false);
    units.place(browseButton, 110, 32, 50, 14);
    connect(browseButton, &QPushButton::clicked, this, &TransferDialog::browse);

    int top = 55;
    for (const HexField& hex : hexFields) {
        auto* box = new QGroupBox(hex.caption, this);
        units.place(box, 7, top, 160, 30);
        auto* edit = new QLineEdit(this);
        setControlId(edit, hex.id);
        units.place(edit, 14, top + 12, 146, 12);
        fields_.push_back({edit, hex.emptyMessage});
        top += 34;
    }

    const int buttonsLeft = layout.dialogUnits.width() - 57;
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    setControlId(ok, 1);
    ok->setDefault(true);
    units.place(ok, buttonsLeft, 7, 50, 14);
    connect(ok, &QPushButton::clicked, this, &TransferDialog::accept);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    setControlId(cancel, 2);
    cancel->setAutoDefault(false);
    units.place(cancel, buttonsLeft, 24, 50, 14);
    connect(cancel, &QPushButton::clicked, this, &TransferDialog::reject);
    file->setFocus();
}

QString TransferDialog::fileName() const {
    return fieldText(FileNameFieldId);
}

QString TransferDialog::fieldText(int id) const {
    for (const Field& field : fields_)
        if (field.edit->property("controlId").toInt() == id) return field.edit->text();
    return {};
}

void TransferDialog::accept() {
    for (const Field& field : fields_) {
        if (field.edit->text().isEmpty()) {
            dialogs_.message(this, strings::text(field.emptyMessage), BoxIcon::Warning);
            return;
        }
    }
    QDialog::accept();
}

void TransferDialog::browse() {
    if (const std::optional<QString> chosen = dialogs_.openFileName(this, dataFileChooserRequest()))
        fields_.front().edit->setText(*chosen);
}

DownloadDialog::DownloadDialog(QWidget* parent, UserDialogs& dialogs)
    : TransferDialog(parent, dialogs,
                     {QStringLiteral("File to download..."), QSize(236, 95), false},
                     {{QStringLiteral("Address (hex)"), AddressFieldId, strings::NoLoadAddress}}) {}

DownloadRequest DownloadDialog::request() const {
    return {fileName(), fieldText(AddressFieldId)};
}

ReceiveDialog::ReceiveDialog(QWidget* parent, UserDialogs& dialogs)
    : TransferDialog(parent, dialogs, {QStringLiteral("Receive File"), QSize(233, 126), true},
                     {{QStringLiteral("Address (hex)"), AddressFieldId, strings::NoLoadAddress},
                      {QStringLiteral("Length (hex)"), LengthFieldId, strings::NoLength}}) {}

ReceiveRequest ReceiveDialog::request() const {
    return {fileName(), fieldText(AddressFieldId), fieldText(LengthFieldId)};
}

} // namespace kestrel
