// The window against a monitor that fails: the device vanishes mid-frame and
// comes back, the monitor stalls, refuses frames, never ends the binary write
// or answers garbage; the user quits, stops or changes the port mid-transfer.
#include "FileAccess.h"
#include "Strings.h"
#include "TerminalView.h"
#include "TestFiles.h"
#include "WindowOnSimulator.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QThread>

namespace kestrel::test {
namespace {

constexpr int Frame = 2048;
const QString UploadFailed = QStringLiteral("Upload of data failed.");
const QString NoEndBinary = QStringLiteral("No end binary!");
const QString SendFailed = QStringLiteral("Could not send data to comms port!");

QString fixture(const char* name) {
    return fixturePath(QLatin1String(name));
}

// The bytes the simulator took in from its latest device on.
QByteArray receivedOnLatestDevice(const SimulatorTranscript& transcript) {
    QByteArray bytes;
    for (const auto& entry : transcript.entries) {
        if (entry.kind == SimulatorTranscript::Kind::Event && entry.event.startsWith("device "))
            bytes.clear();
        else if (entry.kind == SimulatorTranscript::Kind::In)
            bytes += entry.bytes;
    }
    return bytes;
}

// The simulator hangs up in the middle of the second frame. Whether the
// window is then still writing that frame (the write fails, said once) or
// already waiting for its acknowledgement is the scheduler's choice; either
// way the download fails once and ends with its two messages.
void expectEndedByTheHangup(const QStringList& messages) {
    QStringList expected{UploadFailed, NoEndBinary};
    if (messages.value(0) == SendFailed) expected.prepend(SendFailed);
    EXPECT_EQ(messages, expected);
}

using WindowFaults = WindowOnSimulator;

TEST_F(WindowFaults, DeviceVanishingMidFrameEndsTheDownloadAndLeavesTheWindowUsable) {
    // "bwr\r", the 9-byte header and the first frame are 2063 bytes: the
    // line goes dead in the middle of the second frame.
    start({"--hangup-after", "3000"});
    const QString data = writeFile("data.bin", pattern(5 * Frame));
    dialogs.downloadAnswer = DownloadRequest{data, QStringLiteral("80010000")};

    EXPECT_LT(runTimed(CommandDownloadData), 2000);
    expectEndedByTheHangup(dialogs.messages);
    expectReleased();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !port->portOpen(); }, 2000));
    EXPECT_TRUE(field(FieldPort).startsWith("Device lost: ")) << field(FieldPort).toStdString();
    EXPECT_TRUE(terminalText().contains("went away")) << terminalText().constData();
    ExclusiveFile closed;
    EXPECT_EQ(closed.open(data, ExclusiveFile::Mode::Read), FileErrorCategory::None);

    // Keys and commands still work; on the missing device keys go nowhere
    // without a message each.
    dialogs.messages.clear();
    QTest::keyClicks(window->terminalView(), "ls");
    window->runCommand(CommandAbout);
    EXPECT_EQ(dialogs.aboutShown, 1);
    EXPECT_TRUE(dialogs.messages.isEmpty());
    EXPECT_EQ(sim->report().counter("hangups"), 1u);
}

TEST_F(WindowFaults, DeviceComingBackIsReopenedAndNothingIsResumed) {
    const QString link = dir.filePath("console");
    start({"--link", link, "--relink", "--hangup-after", "3000"}, link);
    const QString data = writeFile("data.bin", pattern(5 * Frame));
    dialogs.downloadAnswer = DownloadRequest{data, QStringLiteral("80010000")};
    window->runCommand(CommandDownloadData);
    expectEndedByTheHangup(dialogs.messages);
    expectReleased();

    ASSERT_TRUE(QTest::qWaitFor([&] { return field(FieldPort).startsWith("Reopened: "); }, 4000))
        << field(FieldPort).toStdString();
    EXPECT_EQ(field(FieldPort), "Reopened: " + link + ":115200,n,8,1");
    EXPECT_EQ(port->settings().text(), "115200,n,8,1");
    EXPECT_TRUE(terminalText().contains("Reopened")) << terminalText().constData();
    EXPECT_TRUE(typeAndSeePrompt("dr")) << terminalText().constData();
    // The new device heard only the user: no end of the old conversation,
    // no frame sent again.
    EXPECT_EQ(receivedOnLatestDevice(sim->transcript()), "dr\r");
    EXPECT_EQ(sim->report().counter("binary-writes"), 1u);
}

struct MonitorFault {
    const char* name;
    QStringList options;
    QStringList messages;
    quint64 acknowledged;
    bool answersAfterwards;
};

class MonitorFaults : public WindowOnSimulator,
                      public ::testing::WithParamInterface<MonitorFault> {};

TEST_P(MonitorFaults, DataDownloadEndsWithItsMessagesAndReleasesEverything) {
    const MonitorFault& fault = GetParam();
    start(fault.options);
    const QString data = writeFile("data.bin", pattern(3 * Frame));
    dialogs.downloadAnswer = DownloadRequest{data, QStringLiteral("80010000")};

    EXPECT_LT(runTimed(CommandDownloadData), 4000);
    EXPECT_EQ(dialogs.messages, fault.messages);
    expectReleased();
    EXPECT_EQ(sim->report().counter("frames-acknowledged"), fault.acknowledged);
    ExclusiveFile closed;
    EXPECT_EQ(closed.open(data, ExclusiveFile::Mode::Read), FileErrorCategory::None);
    if (fault.answersAfterwards) {
        EXPECT_TRUE(typeAndSeePrompt("dr")) << terminalText().constData();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Window, MonitorFaults,
    ::testing::Values(
        MonitorFault{
            "StallsAfterOneFrame", {"--stall-after", "1"}, {UploadFailed, NoEndBinary}, 1, false},
        MonitorFault{"RefusesEveryFrame",
                     {"--refuse-frame", "1", "--refuse-frame", "2", "--refuse-frame", "3"},
                     {UploadFailed},
                     0,
                     true},
        MonitorFault{"NeverAnswersEndBinary", {"--no-end-binary"}, {NoEndBinary}, 3, true},
        MonitorFault{"AnswersGarbageForThePrompt",
                     {"--garbage-prompt"},
                     {"ERROR: No Binary Write Prompt!",
                      "Binary write timeout.\nYou may need to reset your Yaroze."},
                     0,
                     true}),
    [](const auto& info) { return std::string(info.param.name); });

// The Edit menu's check item reads every download back; a byte that comes back
// wrong is a failed download with its message box, and the line stays usable.
TEST_F(WindowFaults, VerifyDownloadsReadsBackAndReportsAWrongByte) {
    start({"--wrong-read-byte", "5"});
    const QByteArray bytes = pattern(3 * Frame);
    dialogs.downloadAnswer =
        DownloadRequest{writeFile("data.bin", bytes), QStringLiteral("80010000")};
    QAction* verify = window->commandAction(CommandVerifyDownloads);
    ASSERT_TRUE(verify);
    EXPECT_FALSE(verify->isChecked());

    verify->trigger();
    EXPECT_TRUE(verify->isChecked());
    EXPECT_LT(runTimed(CommandDownloadData), 4000);
    const auto sent = static_cast<quint8>(bytes[4]);
    EXPECT_EQ(dialogs.messages,
              QStringList{QString::asprintf("Verify failed at 80010004: sent %02x, read %02x.",
                                            sent, sent ^ 0xffu)});
    expectReleased();
    EXPECT_TRUE(typeAndSeePrompt("dr")) << terminalText().constData();

    // Unchecked, nothing is read back.
    verify->trigger();
    dialogs.messages.clear();
    runTimed(CommandDownloadData);
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();
    EXPECT_EQ(sim->report().counter("binary-reads"), 1u);
}

TEST_F(WindowFaults, ExecutableOnAStallingMonitorEndsAndReleasesEverything) {
    start({"--stall-after", "1"});
    dialogs.chosenFile = fixture("hello.exe");
    EXPECT_LT(runTimed(CommandDownloadExecutable), 4000);
    EXPECT_EQ(dialogs.messages, QStringList{UploadFailed});
    expectReleased();
    EXPECT_EQ(sim->report().counter("frames-acknowledged"), 1u);
}

struct ExecutableEnd {
    const char* name;
    QStringList options;
    QStringList messages;
    bool registersSet;
};

void PrintTo(const ExecutableEnd& c, std::ostream* os) {
    *os << c.name;
}

class ExecutableEnds : public WindowOnSimulator,
                       public ::testing::WithParamInterface<ExecutableEnd> {};

// "Registers set" is shown once the monitor has echoed the last register
// command. A device gone in the middle of them is a failed load with its
// message box, and a download that did not complete sets no registers.
TEST_P(ExecutableEnds, RegistersLineOnlyWhenTheConsoleHasThem) {
    const ExecutableEnd& c = GetParam();
    start(c.options);
    dialogs.chosenFile = fixture("hello.exe");
    EXPECT_LT(runTimed(CommandDownloadExecutable), 4000);
    QStringList expected = c.messages;
    if (dialogs.messages.value(0) == SendFailed) expected.prepend(SendFailed);
    EXPECT_EQ(dialogs.messages, expected);
    EXPECT_EQ(terminalText().contains("Registers set:  PC-8001003c, GP-80019110, SP-801ff000"),
              c.registersSet)
        << terminalText().constData();
    expectReleased();
    EXPECT_EQ(sim->registers().at("sp"), c.registersSet ? 0x801ff000u : 0u);
}

// hello.exe's three frames end at byte 6163 and "sr sp 801ff000\r" at 6210.
INSTANTIATE_TEST_SUITE_P(
    Window, ExecutableEnds,
    ::testing::Values(ExecutableEnd{"Completes", {}, {}, true},
                      ExecutableEnd{"DeviceLostDuringTheRegisterCommands",
                                    {"--hangup-after", "6200"},
                                    {"ERROR: The monitor did not confirm the start registers!"},
                                    false},
                      ExecutableEnd{
                          "RefusedFrame", {"--refuse-frame", "2"}, {UploadFailed}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowFaults, QuitDuringADownloadStopsItAndClosesTheWindow) {
    start({});
    const QString data = writeFile("data.bin", pattern(40 * Frame));
    dialogs.downloadAnswer = DownloadRequest{data, QStringLiteral("80010000")};
    dialogs.answerYes = true;
    when([&] { return field(FieldCounter).startsWith("000800/"); },
         [&] { QTest::keyClick(window->terminalView(), Qt::Key_Escape); });
    window->runCommand(CommandDownloadData);
    EXPECT_EQ(dialogs.questions, QStringList{"Quit Kestrel?"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 2000));
    EXPECT_FALSE(port->portOpen());
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();
    window.reset();
    QCoreApplication::processEvents();
    const SimulatorReport report = sim->report();
    EXPECT_LT(report.counter("frames-acknowledged"), 40u);
    // The write was still ended before the port closed; the simulator may
    // write its transcript a moment after it took the bytes in.
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return sim->transcript().received().endsWith("\x03\r"); }, 5000))
        << sim->transcript().received().right(16).toHex().constData();
}

// True inside a blocking sleep (the window's sleeps run a local event loop);
// the transfers' message pumping adds no loop level.
bool insideASleep() {
    return QThread::currentThread()->loopLevel() > 0;
}

TEST_F(WindowFaults, QuitDuringAnAutoFileSleepEndsTheRunAndClosesTheWindow) {
    start({});
    dialogs.chosenFile = writeFile("boot.sio", "local sleep 1\rsr epc 80010000\r");
    dialogs.answerYes = true;
    when(insideASleep, [&] { QTest::keyClick(window->terminalView(), Qt::Key_Escape); });
    window->runCommand(CommandAuto);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 2000));
    window.reset();
    QCoreApplication::processEvents();
    EXPECT_EQ(sim->registers().at("epc"), 0u);
    EXPECT_TRUE(sim->transcript().received().isEmpty());
}

// Port settings would close and reopen the port under the download: F12 is
// refused like the other commands that use the line, and the download goes
// on, on the port as it was.
TEST_F(WindowFaults, PortSettingsDuringADownloadAreRefusedAndTheDownloadGoesOn) {
    start({});
    const QByteArray bytes = pattern(6 * Frame + 5);
    const QString data = writeFile("data.bin", bytes);
    dialogs.downloadAnswer = DownloadRequest{data, QStringLiteral("80010000")};
    PortDialogFields changed;
    changed.baudText = QStringLiteral("57600");
    changed.dataBitsIndex = 1;
    changed.parityIndex = 0;
    changed.stopBitsIndex = 1;
    changed.flowIndex = 0;
    dialogs.portAnswer = changed;
    when([&] { return field(FieldCounter).startsWith("001000/"); },
         [&] { QTest::keyClick(window->terminalView(), Qt::Key_F12); });
    window->runCommand(CommandDownloadData);
    EXPECT_TRUE(dialogs.portRequests.isEmpty());
    EXPECT_EQ(dialogs.messages, QStringList{strings::text(strings::UploadInProgress)});
    expectReleased();
    EXPECT_EQ(port->settings().text(), "115200,n,8,1");
    EXPECT_TRUE(port->portOpen());
    EXPECT_EQ(sim->memory(0x80010000, bytes.size()), bytes);

    // Once it is over, F12 changes the settings.
    QTest::keyClick(window->terminalView(), Qt::Key_F12);
    ASSERT_EQ(dialogs.portRequests.size(), 1);
    EXPECT_EQ(port->settings().text(), "57600,N,8,2");
    EXPECT_TRUE(port->portOpen());
    EXPECT_EQ(field(FieldPort), sim->devicePath() + ":57600,N,8,2");
}

enum class Phase { BeforeThePrompt, BetweenFrames, AOutPause, AutoSleep };

std::string phaseName(const ::testing::TestParamInfo<Phase>& info) {
    switch (info.param) {
    case Phase::BeforeThePrompt:
        return "BeforeThePrompt";
    case Phase::BetweenFrames:
        return "BetweenFrames";
    case Phase::AOutPause:
        return "DuringTheAOutPause";
    case Phase::AutoSleep:
        return "DuringAnAutoSleep";
    }
    return "Unknown";
}

class StopPhases : public WindowOnSimulator, public ::testing::WithParamInterface<Phase> {};

TEST_P(StopPhases, StopEndsTheRunThereAndReleasesEverything) {
    start({});
    const QString data = writeFile("data.bin", pattern(8 * Frame));
    dialogs.downloadAnswer = DownloadRequest{data, QStringLiteral("80010000")};
    const auto stop = [&] { window->stopButton()->click(); };
    int command = CommandDownloadData;
    switch (GetParam()) {
    case Phase::BeforeThePrompt:
        when([] { return true; }, stop);
        break;
    case Phase::BetweenFrames:
        when([&] { return field(FieldCounter).startsWith("000800/"); }, stop);
        break;
    case Phase::AOutPause:
        dialogs.chosenFile = fixture("hello-sdata.ecoff");
        command = CommandDownloadExecutable;
        when(insideASleep, stop);
        break;
    case Phase::AutoSleep:
        dialogs.chosenFile = writeFile("boot.sio", "local sleep 1\rsr epc 80010000\r");
        command = CommandAuto;
        when(insideASleep, stop);
        break;
    }
    EXPECT_LT(runTimed(command), 3000);
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();
    expectReleased();
    const SimulatorReport report = sim->report();
    // Never the start registers after a Stop, and never more than one write.
    EXPECT_EQ(report.registers.at("epc"), 0u);
    switch (GetParam()) {
    case Phase::BeforeThePrompt:
        EXPECT_EQ(report.counter("binary-writes"), 1u);
        EXPECT_EQ(report.counter("frames-acknowledged"), 0u);
        break;
    case Phase::BetweenFrames:
        EXPECT_EQ(report.counter("binary-writes"), 1u);
        EXPECT_EQ(report.counter("frames-acknowledged"), 2u);
        break;
    case Phase::AOutPause:
        EXPECT_EQ(report.counter("binary-writes"), 1u);
        break;
    case Phase::AutoSleep:
        EXPECT_TRUE(sim->transcript().received().isEmpty());
        break;
    }
    if (GetParam() != Phase::AutoSleep) {
        EXPECT_TRUE(terminalText().contains("*** CURRENT FILE TRANSFER ABORTED ***"))
            << terminalText().constData();
    }
    EXPECT_TRUE(typeAndSeePrompt("dr")) << terminalText().constData();
}

INSTANTIATE_TEST_SUITE_P(Window, StopPhases,
                         ::testing::Values(Phase::BeforeThePrompt, Phase::BetweenFrames,
                                           Phase::AOutPause, Phase::AutoSleep),
                         phaseName);

} // namespace
} // namespace kestrel::test
