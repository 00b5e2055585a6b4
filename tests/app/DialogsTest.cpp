// The Port Settings, download, receive and About dialogs on real widgets.
#include "AboutDialog.h"
#include "AppIdentity.h"
#include "ControlIds.h"
#include "DeviceMap.h"
#include "DialogUnits.h"
#include "FileFilter.h"
#include "PortSettingsDialog.h"
#include "ScriptedDialogs.h"
#include "Strings.h"
#include "TransferDialogs.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>

namespace kestrel::test {
namespace {

QRect inDialog(const QWidget* dialog, const QWidget* control) {
    return QRect(control->mapTo(dialog, QPoint(0, 0)), control->size());
}

TEST(PortSettingsDialogTest, FieldsGoInAndComeBackOut) {
    PortSettingsDialog dialog;
    PortDialogFields in;
    in.baudText = QStringLiteral("57600");
    in.portIndex = 4;
    in.dataBitsIndex = 0;
    in.flowIndex = 3;
    in.parityIndex = 2;
    in.stopBitsIndex = 1;
    dialog.setFields(in);

    auto* combo = findControl<QComboBox>(&dialog, 1003);
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(combo->currentText(), "57600"); // not in the list, shown as given
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    EXPECT_EQ(items,
              (QStringList{"300", "1200", "2400", "4800", "9600", "19200", "38400", "115200"}));
    for (int id : {1054, 1020, 1063, 1042, 1023})
        EXPECT_TRUE(findControl<QRadioButton>(&dialog, id)->isChecked()) << id;
    EXPECT_EQ(dialog.fields(), in);

    // The user picks a listed speed and Com8; the flow choice stays.
    combo->setCurrentIndex(5);
    QTest::mouseClick(findControl<QRadioButton>(&dialog, 1057), Qt::LeftButton);
    PortDialogFields out = in;
    out.baudText = QStringLiteral("19200");
    out.portIndex = 7;
    EXPECT_EQ(dialog.fields(), out);
    EXPECT_FALSE(findControl<QRadioButton>(&dialog, 1054)->isChecked());
}

TEST(PortSettingsDialogTest, NothingSelectedComesBackAsMinusOneAndEchoCanBeChosen) {
    PortSettingsDialog dialog;
    PortDialogFields in; // all -1, empty speed
    in.portIndex = 9;    // a port above 8 has no button
    dialog.setFields(in);
    in.portIndex = -1;
    EXPECT_EQ(dialog.fields(), in);
    for (int id : {1030, 1031}) {
        auto* echo = findControl<QRadioButton>(&dialog, id);
        EXPECT_TRUE(echo->isEnabled());
        EXPECT_FALSE(echo->isChecked());
    }
    dialog.show();
    QTest::mouseClick(findControl<QRadioButton>(&dialog, 1031), Qt::LeftButton);
    EXPECT_EQ(dialog.fields().echoIndex, 1);
    QTest::mouseClick(findControl<QRadioButton>(&dialog, 1030), Qt::LeftButton);
    EXPECT_EQ(dialog.fields().echoIndex, 0);
}

TEST(PortSettingsDialogTest, ADeviceFromThePortOptionIsNamedBelowTheGroups) {
    PortSettingsDialog dialog;
    const QSize plain = dialog.size();
    auto* inUse = dialog.findChild<QLabel*>(QStringLiteral("deviceInUse"));
    ASSERT_NE(inUse, nullptr);
    PortDialogFields fields;
    fields.deviceInUse = QStringLiteral("/dev/pts/7");
    dialog.setFields(fields);
    dialog.show();
    EXPECT_TRUE(inUse->isVisible());
    EXPECT_EQ(inUse->text(), "In use: /dev/pts/7 (from --port)");
    EXPECT_GT(dialog.height(), plain.height());
    EXPECT_LE(inUse->geometry().bottom(), dialog.height());
    dialog.setFields(PortDialogFields{});
    EXPECT_FALSE(inUse->isVisible());
    EXPECT_EQ(dialog.size(), plain);
}

TEST(PortSettingsDialogTest, ANetworkPortInUseLeavesNoComButtonToChoose) {
    PortSettingsDialog dialog;
    PortDialogFields fields;
    fields.deviceInUse = QStringLiteral("rfc2217://console-host:2000");
    fields.comPortsLocked = true;
    dialog.setFields(fields);
    dialog.show();
    auto* com3 = findControl<QRadioButton>(&dialog, 1052);
    QTest::mouseClick(com3, Qt::LeftButton);
    EXPECT_FALSE(com3->isEnabled());
    EXPECT_EQ(dialog.fields().portIndex, -1);
    auto* inUse = dialog.findChild<QLabel*>(QStringLiteral("deviceInUse"));
    EXPECT_EQ(inUse->text(), "In use: rfc2217://console-host:2000 (from --port; a Com port needs "
                             "a start without --port)");
    dialog.setFields(PortDialogFields{});
    EXPECT_TRUE(com3->isEnabled());
}

TEST(PortSettingsDialogTest, ControlsSitWhereTheTemplatePutsThem) {
    PortSettingsDialog dialog;
    const DialogUnits units(dialog.font());
    EXPECT_EQ(dialog.size(), units.size(244, 142));
    struct Placed {
        int id;
        const char* text;
        QRect du;
    };
    const Placed controls[] = {
        {1, "OK", {187, 7, 50, 14}},           {2, "Cancel", {187, 24, 50, 14}},
        {1020, "7", {15, 49, 17, 10}},         {1023, "2", {108, 49, 22, 10}},
        {1031, "On", {171, 48, 27, 13}},       {1042, "Even", {15, 108, 38, 10}},
        {1053, "Com4", {81, 119, 38, 10}},     {1054, "Com5", {122, 82, 38, 10}},
        {1061, "Xon/Xoff", {180, 95, 49, 10}}, {1063, "Xon/RTS", {180, 119, 51, 10}},
    };
    for (const Placed& p : controls) {
        auto* control = findControl<QAbstractButton>(&dialog, p.id);
        ASSERT_NE(control, nullptr) << p.id;
        EXPECT_EQ(control->text(), p.text);
        EXPECT_EQ(inDialog(&dialog, control),
                  units.rect(p.du.x(), p.du.y(), p.du.width(), p.du.height()))
            << p.id;
    }
    QStringList groups;
    for (auto* box : dialog.findChildren<QGroupBox*>())
        groups << box->title();
    EXPECT_EQ(groups, (QStringList{"Baud Rate", "&Data Bits", "&Stop Bits", "&Echo", "&Parity",
                                   "&Com Port", "&Flow Control"}));
    EXPECT_TRUE(findControl<QPushButton>(&dialog, 1)->isDefault());
    EXPECT_TRUE(dialog.windowTitle().isEmpty());
}

TEST(PortSettingsDialogTest, ComButtonsNameTheirDevice) {
    PortSettingsDialog dialog;
    for (int n = 1; n <= 8; ++n) {
        const QString tip = findControl<QRadioButton>(&dialog, 1049 + n)->toolTip();
        EXPECT_TRUE(tip.contains(deviceForCommPort(n))) << tip.toStdString();
    }
}

TEST(TransferDialogTest, EmptyFieldsAreRefusedInOrder) {
    struct Case {
        const char* file;
        const char* address;
        const char* length;
        int message; // 0: accepted
    };
    const Case cases[] = {
        {"", "", "", strings::NoFilename},
        {"", "80010000", "800", strings::NoFilename},
        {"a.bin", "", "800", strings::NoLoadAddress},
        {"a.bin", "zz", "", strings::NoLength},
        {"a.bin", "zz", "0", 0}, // only emptiness is checked
    };
    for (const Case& c : cases) {
        ScriptedDialogs dialogs;
        ReceiveDialog dialog(nullptr, dialogs);
        dialog.show();
        findControl<QLineEdit>(&dialog, 1000)->setText(c.file);
        findControl<QLineEdit>(&dialog, 1001)->setText(c.address);
        findControl<QLineEdit>(&dialog, 1002)->setText(c.length);
        QTest::mouseClick(findControl<QPushButton>(&dialog, 1), Qt::LeftButton);
        if (c.message) {
            EXPECT_EQ(dialogs.messages, QStringList{strings::text(c.message)}) << c.file;
            EXPECT_TRUE(dialog.isVisible());
        } else {
            EXPECT_TRUE(dialogs.messages.isEmpty());
            EXPECT_EQ(dialog.result(), QDialog::Accepted);
            EXPECT_EQ(dialog.request().fileName, c.file);
            EXPECT_EQ(dialog.request().addressText, c.address);
            EXPECT_EQ(dialog.request().lengthText, c.length);
        }
    }
}

// The space under the last group is no wider than the margin above the
// first: no empty strip at the bottom.
TEST(TransferDialogTest, NeitherDialogHasAnEmptyStripAtTheBottom) {
    ScriptedDialogs dialogs;
    DownloadDialog download(nullptr, dialogs);
    ReceiveDialog receive(nullptr, dialogs);
    for (QDialog* dialog : {static_cast<QDialog*>(&download), static_cast<QDialog*>(&receive)}) {
        int top = dialog->height();
        int bottom = 0;
        for (QGroupBox* box : dialog->findChildren<QGroupBox*>()) {
            top = std::min(top, box->geometry().top());
            bottom = std::max(bottom, box->geometry().bottom() + 1);
        }
        EXPECT_LE(dialog->height() - bottom, 3 * top) << dialog->windowTitle().toStdString();
        EXPECT_GE(dialog->height(), bottom) << dialog->windowTitle().toStdString();
    }
}

TEST(TransferDialogTest, DownloadDialogAsksForFileAndAddress) {
    ScriptedDialogs dialogs;
    DownloadDialog dialog(nullptr, dialogs);
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), "File to download...");
    EXPECT_EQ(findControl<QLineEdit>(&dialog, 1002), nullptr);
    EXPECT_TRUE(findControl<QLineEdit>(&dialog, 1000)->text().isEmpty());
    findControl<QLineEdit>(&dialog, 1000)->setText("x.bin");
    QTest::mouseClick(findControl<QPushButton>(&dialog, 1), Qt::LeftButton);
    EXPECT_EQ(dialogs.messages, QStringList{strings::text(strings::NoLoadAddress)});
    EXPECT_TRUE(dialog.isVisible());
    findControl<QLineEdit>(&dialog, 1001)->setText("0x80010000");
    QTest::mouseClick(findControl<QPushButton>(&dialog, 1), Qt::LeftButton);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.request().addressText, "0x80010000");
}

TEST(TransferDialogTest, BrowseFillsOnlyTheFileField) {
    ScriptedDialogs dialogs;
    DownloadDialog dialog(nullptr, dialogs);
    findControl<QLineEdit>(&dialog, 1001)->setText("8001");
    dialogs.chosenFile = QStringLiteral("/tmp/chosen.bin");
    QTest::mouseClick(findControl<QPushButton>(&dialog, 1005), Qt::LeftButton);
    EXPECT_EQ(dialog.fileName(), "/tmp/chosen.bin");
    EXPECT_EQ(dialog.fieldText(1001), "8001");
    ASSERT_EQ(dialogs.chooserRequests.size(), 1);
    EXPECT_EQ(dialogs.chooserRequests[0].filter, "All Files (*.*) | *.* ||");
    EXPECT_EQ(dialogs.chooserRequests[0].defaultSuffix, "Dload");
    EXPECT_EQ(dialogs.chooserRequests[0].initialName, "*.*");

    dialogs.chosenFile.reset();
    QTest::mouseClick(findControl<QPushButton>(&dialog, 1005), Qt::LeftButton);
    EXPECT_EQ(dialog.fileName(), "/tmp/chosen.bin");
}

TEST(FileFilterTest, ClassicFiltersBecomeQtNameFilters) {
    EXPECT_EQ(nameFiltersFromPatternList("All Files (*.*) | *.* ||"), QStringList{"All Files (*)"});
    EXPECT_EQ(nameFiltersFromPatternList("SIO Files (*.sio)|*.sio|All Files (*.*)|*.*||"),
              (QStringList{"SIO Files (*.sio)", "All Files (*)"}));
    EXPECT_EQ(nameFiltersFromPatternList("Programs|*.exe;*.cpe|"),
              QStringList{"Programs (*.exe *.cpe)"});
}

TEST(AboutDialogTest, ShowsTheVersionAndTheKeysAsTheyWork) {
    AboutDialog dialog;
    EXPECT_EQ(dialog.windowTitle(), "About Kestrel");
    QStringList shown;
    for (auto* label : dialog.findChildren<QLabel*>()) {
        if (label->text().isEmpty()) continue;
        shown << label->text();
        EXPECT_LE(label->sizeHint().width(), label->width()) << label->text().toStdString();
    }
    EXPECT_EQ(shown, (QStringList{"Kestrel Version " + shortVersion(), "PC-Yaroze comms utility.",
                                  "F3 - Auto operation", "Shift+F3 - Repeat last AUTO operation",
                                  "F4 - Binary file download to yaroze",
                                  "F5 - Formatted file download to yaroze", "F12 - Port Settings",
                                  "Ctrl+F - Select Font"}));
}

} // namespace
} // namespace kestrel::test
