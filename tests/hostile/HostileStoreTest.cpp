// A settings store and typed numbers written by someone else: the window
// starts, reads them as data and nothing more, and ends up in a sane state.
#include "ControlIds.h"
#include "Strings.h"
#include "TerminalView.h"
#include "WindowFixture.h"

#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>
#include <QTemporaryDir>

#include <ctime>

namespace kestrel::test {
namespace {

using HostileStore = WindowFixture;

TEST_F(HostileStore, PortValuesThatAreNotUsableFallBackToPortTwo) {
    struct Case {
        QVariant port;
        QVariant settings;
    };
    const Case cases[] = {
        {"two", "9600,n,8,1"},
        {-3, "9600,n,8,1"},
        {0, "9600,n,8,1"},
        {1000, "9600,n,8,1"},
        {QStringLiteral("99999999999999999999"), "9600,n,8,1"},
        {QStringLiteral("$(reboot)"), QStringLiteral("`reboot`;9600")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port.toString().toStdString());
        QSettings store;
        store.setValue(QStringLiteral("Config/CommPort"), c.port);
        store.setValue(QStringLiteral("Config/CommSettings"), c.settings);
        dialogs.messages.clear();
        open();
        EXPECT_EQ(dialogs.messages, QStringList{strings::text(strings::NoCommsParameters)});
        EXPECT_EQ(port->commPort(), 2);
        EXPECT_EQ(stored("Config/CommPort").toInt(), 2);
        EXPECT_TRUE(window->field(FieldPort)->text().startsWith("COM2:"));
        window.reset();
    }
}

TEST_F(HostileStore, WindowSizesOfTextNegativeOrHugeGiveAWindowThatFits) {
    const QSize desktop = QGuiApplication::primaryScreen()->availableVirtualSize();
    const int widest = std::max(desktop.width(), MaximumRestoredClientSide);
    const int highest = std::max(desktop.height(), MaximumRestoredClientSide);
    for (const QVariant& value :
         {QVariant(QStringLiteral("wide")), QVariant(-400), QVariant(2147483647),
          QVariant(QStringLiteral("1e12")), QVariant(QStringLiteral("99999999999"))}) {
        SCOPED_TRACE(value.toString().toStdString());
        QSettings().setValue(QStringLiteral("Window/Size_x"), value);
        QSettings().setValue(QStringLiteral("Window/Size_y"), value);
        open();
        const QSize client = window->clientArea()->size();
        EXPECT_GE(client.width(), MinimumClientWidth);
        EXPECT_GE(client.height(), MinimumClientHeight);
        EXPECT_LE(client.width(), widest);
        EXPECT_LE(client.height(), highest);
        // What is stored again is a size, not the text that was found.
        bool isNumber = false;
        stored("Window/Size_x").toString().toInt(&isNumber);
        EXPECT_TRUE(isNumber);
        window.reset();
    }
}

TEST_F(HostileStore, TypedAddressesAndLengthsAreReadLeniently) {
    open();
    struct Case {
        const char* address;
        const char* length;
        QByteArray header; // what goes out after "brd\r"'s prompt
    };
    const Case cases[] = {
        {"  0x80010000", "\t 10", QByteArray("\x01\x80\x01\x00\x00\x00\x00\x00\x10", 9)},
        {"zz80010000", "junk", QByteArray("\x01\x00\x00\x00\x00\x00\x00\x00\x00", 9)},
        {"123456789abcdef", "ffffffffffffffffffff",
         QByteArray("\x01\xff\xff\xff\xff\xff\xff\xff\xff", 9)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        port->writes.clear();
        port->responder = [&](const QByteArray& written) {
            if (written == "brd\r") port->deliver("brd\r\nbinary\r\n");
        };
        dialogs.receiveAnswer = ReceiveRequest{
            QDir::temp().filePath(
                QStringLiteral("kestrel-hostile-%1.bin").arg(QCoreApplication::applicationPid())),
            QString::fromLatin1(c.address), QString::fromLatin1(c.length)};
        window->runCommand(CommandReceive);
        const QByteArray wire = port->wire();
        EXPECT_TRUE(wire.contains("brd\r" + c.header)) << wire.toHex().constData();
        window->runCommand(CommandStopReceiving);
        EXPECT_FALSE(window->link().isBusy());
        EXPECT_FALSE(window->link().isCapturing());
        QFile::remove(dialogs.receiveAnswer->fileName);
    }
}

using HostileAutoLine = WindowFixture;

// One line of 50 MB: sent whole (the console gets what the file says), shown
// in the task field without the window choking on it.
TEST_F(HostileAutoLine, FiftyMegabyteLineIsSentAndTheWindowGoesOn) {
    open();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("long.sio"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        const QByteArray block(1 << 20, 'a');
        for (int i = 0; i < 50; ++i)
            f.write(block);
        f.write("\r");
    }
    dialogs.chosenFile = path;
    // The program's own processor time, not the wall clock: a busy shared
    // machine (or a sanitizer build) slows both, but only work that grows with
    // the square of the line's length comes anywhere near this bound.
    const std::clock_t start = std::clock();
    window->runCommand(CommandAuto);
    EXPECT_LT(double(std::clock() - start) / CLOCKS_PER_SEC, 30.0);
    ASSERT_EQ(port->writes.size(), 2);
    EXPECT_EQ(port->writes[0].size(), 50 << 20);
    EXPECT_EQ(port->writes[1], "\r");
    EXPECT_EQ(window->field(FieldTask)->text(), "Auto file completed.");
    EXPECT_FALSE(window->link().isBusy());
}

} // namespace
} // namespace kestrel::test
