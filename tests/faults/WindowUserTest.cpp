// The window as a user meets it, on a real pseudo-terminal with the monitor
// simulator: keys typed with the focus anywhere, the echo choice, a long sleep
// ended by Stop, a missing executable, the shipped demo from the repository
// root, a received block and the status fields' full texts.
#include "FileAccess.h"
#include "MonitorProtocol.h"
#include "TerminalView.h"
#include "WindowOnSimulator.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QThread>

namespace kestrel::test {
namespace {

using WindowUse = WindowOnSimulator;

bool insideASleep() {
    return QThread::currentThread()->loopLevel() > 0;
}

// Runs from another working directory and goes back to the test's.
class InDirectory {
public:
    explicit InDirectory(const QString& path) : saved_(QDir::currentPath()) {
        QDir::setCurrent(path);
    }
    ~InDirectory() { QDir::setCurrent(saved_); }

private:
    QString saved_;
};

struct FocusCase {
    const char* name;
    std::function<QWidget*(MainDialog&)> control;
};

class KeysFromEveryFocus : public WindowOnSimulator,
                           public ::testing::WithParamInterface<FocusCase> {};

TEST_P(KeysFromEveryFocus, EachTypedCharacterGoesOutOnce) {
    start({});
    QWidget* control = GetParam().control(*window);
    // Clicked as a user would; a control that takes no focus leaves it where
    // it was.
    QTest::mouseClick(control, Qt::LeftButton, {}, QPoint(3, 3));
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    QTest::keyClicks(focus, "dr");
    QTest::keyClick(window->terminalView(), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return terminalText().contains(">>"); }, 3000))
        << terminalText().constData();
    // The transcript is written after the echo goes out: wait for it too.
    (void)QTest::qWaitFor([&] { return sim->transcript().received().size() >= 3; }, 2000);
    EXPECT_EQ(sim->transcript().received(), "dr\r");
}

INSTANTIATE_TEST_SUITE_P(
    Window, KeysFromEveryFocus,
    ::testing::Values(
        FocusCase{"TerminalView", [](MainDialog& w) { return w.terminalView(); }},
        FocusCase{"StopButton", [](MainDialog& w) { return w.stopButton(); }},
        FocusCase{"ProgressBar", [](MainDialog& w) { return w.progressBar(); }},
        FocusCase{"PortField", [](MainDialog& w) { return w.field(FieldPort); }},
        FocusCase{"CounterField", [](MainDialog& w) { return w.field(FieldCounter); }},
        FocusCase{"StateField", [](MainDialog& w) { return w.field(FieldState); }},
        FocusCase{"TaskField", [](MainDialog& w) { return w.field(FieldTask); }},
        FocusCase{"ActivityField", [](MainDialog& w) { return w.field(FieldActivity); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowUse, TabFromTheTerminalThenAKeySendsItOnce) {
    start({});
    QTest::keyClick(window->terminalView(), Qt::Key_Tab);
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, window->terminalView());
    QTest::keyClicks(focus, "dr");
    // A command key from there runs once too.
    QTest::keyClick(focus, Qt::Key_D, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_EQ(dialogs.helpTexts.size(), 1);
    QTest::keyClick(window->terminalView(), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return terminalText().contains(">>"); }, 3000));
    // The transcript is written after the echo goes out: wait for it too.
    (void)QTest::qWaitFor([&] { return sim->transcript().received().size() >= 3; }, 2000);
    EXPECT_EQ(sim->transcript().received(), "dr\r");
}

TEST_F(WindowUse, HelpNamesAReadmeThatIsThere) {
    start({});
    window->runCommand(CommandHelp);
    ASSERT_EQ(dialogs.helpTexts.size(), 1);
    const QString text = dialogs.helpTexts[0];
    const qsizetype at = text.indexOf("The README is ");
    ASSERT_GE(at, 0) << text.toStdString();
    QString path = text.mid(at + 14).trimmed();
    path.chop(1); // the full stop
    EXPECT_TRUE(QFileInfo::exists(path)) << path.toStdString();
}

TEST_F(WindowUse, PortSettingsNameThePortOptionDeviceAndAComButtonLeavesIt) {
    start({});
    window->runCommand(CommandPortSettings);
    ASSERT_EQ(dialogs.portRequests.size(), 1);
    EXPECT_EQ(dialogs.portRequests[0].deviceInUse, sim->devicePath());
    EXPECT_EQ(dialogs.portRequests[0].portIndex, -1);
    // OK without a Com button keeps the session on the device.
    dialogs.portAnswer = dialogs.portRequests[0];
    window->runCommand(CommandPortSettings);
    EXPECT_EQ(port->deviceOverride(), sim->devicePath());
    EXPECT_TRUE(port->portOpen());

    PortDialogFields com3 = dialogs.portRequests[0];
    com3.portIndex = 2;
    dialogs.portAnswer = com3;
    dialogs.messages.clear();
    window->runCommand(CommandPortSettings);
    EXPECT_TRUE(port->deviceOverride().isEmpty());
    EXPECT_EQ(port->commPort(), 3);
    EXPECT_EQ(QSettings().value("Config/CommPort").toInt(), 3);
    EXPECT_FALSE(field(FieldPort).contains(sim->devicePath())) << field(FieldPort).toStdString();
}

struct EchoCase {
    const char* name;
    int echoIndex; // as the Port Settings dialog gives it back; -1: never opened
    int copies;    // of each typed character in the view
};

class EchoChoice : public WindowOnSimulator, public ::testing::WithParamInterface<EchoCase> {};

TEST_P(EchoChoice, TheViewShowsWhatTheChoiceSaysAndTheLineGetsEachKeyOnce) {
    start({});
    if (GetParam().echoIndex >= 0) {
        window->runCommand(CommandPortSettings);
        ASSERT_EQ(dialogs.portRequests.size(), 1);
        // The group is live and shows Off until something else is chosen.
        EXPECT_EQ(dialogs.portRequests[0].echoIndex, 0);
        PortDialogFields chosen = dialogs.portRequests[0];
        chosen.echoIndex = GetParam().echoIndex;
        dialogs.portAnswer = chosen;
        window->runCommand(CommandPortSettings);
        ASSERT_TRUE(port->portOpen());
        // The dialog shows the choice the next time it opens.
        dialogs.portAnswer.reset();
        window->runCommand(CommandPortSettings);
        ASSERT_EQ(dialogs.portRequests.size(), 3);
        EXPECT_EQ(dialogs.portRequests[2].echoIndex, GetParam().echoIndex);
    }
    window->clearTerminal();
    QTest::keyClicks(window->terminalView(), "ls");
    QTest::keyClick(window->terminalView(), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return terminalText().contains(">>"); }, 3000));
    // Off: the console's echo only. On: the view's own copy as well, before
    // or between the echoed characters, as they happen to arrive.
    const QByteArray text = terminalText();
    const QByteArray letters = text.left(text.indexOf(">>")).replace("\r\n", "");
    EXPECT_EQ(letters.count('l'), GetParam().copies) << text.constData();
    EXPECT_EQ(letters.count('s'), GetParam().copies) << text.constData();
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return sim->transcript().received().endsWith("ls\r"); }, 2000));
    EXPECT_EQ(sim->transcript().received().count("ls"), 1);
    // The caret follows the console's output.
    EXPECT_EQ(window->terminalView()->textCursor().position(),
              window->terminalView()->document()->characterCount() - 1);
}

INSTANTIATE_TEST_SUITE_P(Window, EchoChoice,
                         ::testing::Values(EchoCase{"OffByDefault", -1, 1},
                                           EchoCase{"OffChosen", 0, 1}, EchoCase{"OnChosen", 1, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

struct StopCase {
    const char* name;
    std::function<void(MainDialog&)> press;
};

class StopDuringALongSleep : public WindowOnSimulator,
                             public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopDuringALongSleep, EndsTheRunAtOnceAndNoFurtherLineGoesOut) {
    start({});
    dialogs.chosenFile = writeFile("boot.sio", "local sleep 8\rsr epc 80010000\r");
    QElapsedTimer sinceStop;
    when(insideASleep, [&] {
        sinceStop.start();
        GetParam().press(*window);
    });
    window->runCommand(CommandAuto);
    ASSERT_TRUE(sinceStop.isValid());
    EXPECT_LT(sinceStop.elapsed(), 300);
    expectReleased();
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();
    EXPECT_EQ(sim->registers().at("epc"), 0u);
    EXPECT_TRUE(sim->transcript().received().isEmpty()) << sim->transcript().received().data();
    EXPECT_TRUE(typeAndSeePrompt("dr")) << terminalText().constData();
}

INSTANTIATE_TEST_SUITE_P(Window, StopDuringALongSleep,
                         ::testing::Values(StopCase{"StopClicked",
                                                    [](MainDialog& w) {
                                                        QTest::mouseClick(w.stopButton(),
                                                                          Qt::LeftButton);
                                                    }},
                                           StopCase{"AltS",
                                                    [](MainDialog& w) {
                                                        QTest::keyClick(w.terminalView(), Qt::Key_S,
                                                                        Qt::AltModifier);
                                                    }}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowUse, DuringASleepTypedKeysAreNotSentAndEscapeYesQuits) {
    start({});
    dialogs.chosenFile = writeFile("boot.sio", "local sleep 2147483\rsr epc 80010000\r");
    dialogs.answerYes = true;
    QElapsedTimer sinceQuit;
    when(insideASleep, [&] {
        QTest::keyClicks(window->terminalView(), "dr");
        sinceQuit.start();
        QTest::keyClick(window->terminalView(), Qt::Key_Escape);
    });
    window->runCommand(CommandAuto);
    EXPECT_LT(sinceQuit.elapsed(), 300);
    EXPECT_EQ(dialogs.questions, QStringList{"Quit Kestrel?"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 2000));
    window.reset();
    QCoreApplication::processEvents();
    EXPECT_TRUE(sim->transcript().received().isEmpty()) << sim->transcript().received().data();
}

// Everything a data download puts on the line: the binary-write command, the
// load header, each frame with its start byte and sum, the end, and the CR
// after it.
QByteArray downloadOnTheLine(quint32 address, const QByteArray& data) {
    QByteArray line = "bwr\r" + MonitorProtocol::loadHeader(address, quint32(data.size()));
    for (qsizetype at = 0; at < data.size(); at += FrameSize) {
        QByteArray frame = data.mid(at, FrameSize);
        frame.append(FrameSize - frame.size(), ' ');
        quint8 sum = 0;
        for (const char c : frame)
            sum = quint8(sum + quint8(c));
        line += '\x02' + frame + char(sum);
    }
    return line + "\x03\r";
}

// Keys typed into the terminal and a status field at every point where the
// download lets the window's messages through (between frames and inside
// them) are refused with a note; the monitor gets the download and nothing
// else, and typing works again afterwards.
TEST_F(WindowUse, KeysTypedDuringADownloadNeverReachTheLine) {
    start({});
    const QByteArray bytes = pattern(40 * 1024);
    dialogs.downloadAnswer = DownloadRequest{writeFile("data.bin", bytes), "80010000"};
    const QString note = QStringLiteral("Busy: typed keys are not sent during a transfer.");
    int typed = 0;
    int noted = 0;
    QTimer typist;
    typist.setInterval(0);
    QObject::connect(&typist, &QTimer::timeout, [&] {
        if (!window->link().isBusy()) return;
        static constexpr Qt::Key Keys[] = {Qt::Key_Y, Qt::Key_Z, Qt::Key_Return, Qt::Key_X};
        QWidget* target =
            typed % 2 ? static_cast<QWidget*>(window->field(FieldState)) : window->terminalView();
        QTest::keyClick(target, Keys[typed % 4]);
        ++typed;
        if (field(FieldState) == note) ++noted;
    });
    typist.start();
    window->runCommand(CommandDownloadData);
    typist.stop();

    RecordProperty("keys_typed", typed);
    EXPECT_GT(typed, 20) << "keys typed while the download ran";
    EXPECT_EQ(noted, typed);
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();
    expectReleased();
    const SimulatorReport report = sim->report();
    EXPECT_EQ(report.counter("frames-acknowledged"), 20u);
    EXPECT_EQ(report.counter("stray-bytes"), 0u);
    EXPECT_EQ(sim->memory(0x80010000, bytes.size()), bytes);
    // The simulator may write its transcript a moment after it took the
    // bytes in.
    const QByteArray expected = downloadOnTheLine(0x80010000, bytes);
    (void)QTest::qWaitFor([&] { return sim->transcript().received().size() >= expected.size(); },
                          3000);
    const QByteArray received = sim->transcript().received();
    EXPECT_TRUE(received == expected)
        << "received " << received.size() << " bytes, expected " << expected.size()
        << "; first difference at "
        << std::distance(received.begin(), std::mismatch(received.begin(), received.end(),
                                                         expected.begin(), expected.end())
                                               .first);
    EXPECT_TRUE(typeAndSeePrompt("dr")) << terminalText().constData();
}

struct MissingCase {
    const char* name;
    bool fromAutoFile;
};

class MissingExecutable : public WindowOnSimulator,
                          public ::testing::WithParamInterface<MissingCase> {};

TEST_P(MissingExecutable, SaysTheFileCannotBeOpenedAndWhy) {
    start({});
    // An auto file's line is lower-cased on its way, so the name is given
    // relative to a working directory whose path may have capitals.
    const InDirectory here(dir.path());
    QString missing = dir.filePath("gone.exe");
    if (GetParam().fromAutoFile) {
        missing = QStringLiteral("gone.exe");
        dialogs.chosenFile = writeFile("boot.sio", "local load gone.exe\r");
        window->runCommand(CommandAuto);
    } else {
        dialogs.chosenFile = missing;
        window->runCommand(CommandDownloadExecutable);
    }
    EXPECT_EQ(dialogs.messages,
              QStringList{cantOpenFileMessage(missing, FileErrorCategory::FileNotFound)});
    EXPECT_FALSE(terminalText().contains("Not a PlayStation executable"))
        << terminalText().constData();
    EXPECT_TRUE(terminalText().contains("Cannot open file")) << terminalText().constData();
    expectReleased();
    EXPECT_EQ(sim->report().counter("binary-writes"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Window, MissingExecutable,
                         ::testing::Values(MissingCase{"LocalLoad", true},
                                           MissingCase{"DownloadExecutableCommand", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowUse, AFileThatIsNotAnExecutableIsStillSaidToBeNone) {
    start({});
    dialogs.chosenFile = writeFile("notes.txt", "just text, not a program\n");
    window->runCommand(CommandDownloadExecutable);
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();
    EXPECT_TRUE(terminalText().contains(
        "notes.txt: Not a PlayStation executable - Use Download Datafile instead."))
        << terminalText().constData();
}

TEST_F(WindowUse, TheShippedDemoRunsFromTheRepositoryRoot) {
    start({});
    const InDirectory root(QStringLiteral(KESTREL_SOURCE_DIR));
    window->runAutoFile(QStringLiteral("examples/demo.sio"));
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();
    QFile data(QStringLiteral(KESTREL_SOURCE_DIR "/examples/demo.dat"));
    ASSERT_TRUE(data.open(QIODevice::ReadOnly));
    const QByteArray bytes = data.readAll();
    EXPECT_EQ(sim->memory(0x80100000, bytes.size()), bytes);
    EXPECT_EQ(sim->registers().at("t0"), 0xcafeu);
    EXPECT_NE(sim->registers().at("epc"), 0u);
    // The user is told which file was used.
    const QByteArray text = terminalText();
    EXPECT_TRUE(text.contains("Using " KESTREL_SOURCE_DIR "/examples/demo.dat")) << text.data();
    EXPECT_TRUE(text.contains("hello.exe: PSX-EXE format.")) << text.data();
}

TEST_F(WindowUse, ARelativeNameThatExistsInTheWorkingDirectoryIsTakenFromThere) {
    start({});
    QDir(dir.path()).mkpath("autos");
    const QByteArray near = pattern(64);
    const QByteArray far = QByteArray(64, 'x');
    writeFile("block.dat", near);
    writeFile("autos/block.dat", far);
    const QString autoFile = writeFile("autos/go.sio", "local dload block.dat 80010000\r");
    const InDirectory here(dir.path());
    window->runAutoFile(autoFile);
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();
    EXPECT_EQ(sim->memory(0x80010000, near.size()), near);
    EXPECT_FALSE(terminalText().contains("Using ")) << terminalText().constData();
}

TEST_F(WindowUse, AReceivedBlockGoesToItsFileNotToTheTerminal) {
    start({});
    QByteArray block;
    for (int i = 0; i < 0x400; ++i)
        block += char('A' + i % 26);
    dialogs.downloadAnswer = DownloadRequest{writeFile("block.dat", block), "80010000"};
    window->runCommand(CommandDownloadData);
    ASSERT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();
    window->clearTerminal();

    QStringList counts;
    QObject::connect(window->field(FieldTask), &QLineEdit::textChanged,
                     [&](const QString& text) { counts << text; });
    const QString target = dir.filePath("back.bin");
    dialogs.receiveAnswer = ReceiveRequest{target, "80010000", "400"};
    window->runCommand(CommandReceive);
    ASSERT_TRUE(QTest::qWaitFor([&] { return field(FieldTask) == "Received 1024 bytes."; }, 4000))
        << field(FieldTask).toStdString();
    QFile received(target);
    ASSERT_TRUE(received.open(QIODevice::ReadOnly));
    EXPECT_EQ(received.readAll(), block);
    const QByteArray text = terminalText();
    EXPECT_FALSE(text.contains("ABCDEFGHIJKLMNOP")) << text.data();
    EXPECT_EQ(text.count("Received 1024 bytes."), 1) << text.data();
    expectReleased();
}

TEST_F(WindowUse, ALongStatusTextKeepsItsEndsVisibleAndWholeInTheTooltip) {
    start({});
    window->resize(1000, 500);
    QCoreApplication::processEvents();
    const QString longPath = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    const QString status = longPath + ":115200,n,8,1";
    window->setField(FieldPort, status);
    window->setField(FieldState, "/home/someone/projects/a/very/long/path/to/" + longPath);
    for (int id : {FieldPort, FieldState}) {
        QLineEdit* field = window->field(id);
        QCoreApplication::processEvents();
        EXPECT_EQ(field->toolTip(), field->text());
        const QString shown = field->property("shownText").toString();
        EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
        EXPECT_LE(field->fontMetrics().horizontalAdvance(shown), field->width());
    }
    EXPECT_EQ(field(FieldPort), status);
    // The line settings stay in view.
    EXPECT_TRUE(window->field(FieldPort)->property("shownText").toString().endsWith("8,1"));
    EXPECT_TRUE(window->field(FieldPort)->property("shownText").toString().startsWith("/dev/"));
}

} // namespace
} // namespace kestrel::test
