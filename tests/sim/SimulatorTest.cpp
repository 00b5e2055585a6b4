// The monitor simulator driven through its pseudo-terminal, as Kestrel drives it.
#include "Simulator.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <array>
#include <csignal>

namespace kestrel::test {
namespace {

constexpr qsizetype frameSize = 2048;
constexpr quint32 loadAddress = 0x80010ffe; // not page aligned on purpose

QByteArray bigEndian(quint32 value) {
    QByteArray bytes;
    for (const int shift : {24, 16, 8, 0})
        bytes += static_cast<char>(value >> shift);
    return bytes;
}

QByteArray loadHeader(quint32 address, quint32 length) {
    return QByteArray(1, '\x01') + bigEndian(address) + bigEndian(length);
}

// One block as the monitor expects it: 0x02, 2048 bytes padded with spaces,
// the 8-bit sum of those 2048 bytes.
QByteArray frame(const QByteArray& piece, int checksumError = 0) {
    QByteArray block = piece.leftJustified(frameSize, ' ');
    quint8 sum = 0;
    for (const char byte : block)
        sum += static_cast<quint8>(byte);
    return '\x02' + block + static_cast<char>(sum + checksumError);
}

// Every byte value, the protocol's own control bytes included.
QByteArray payload(qsizetype size) {
    QByteArray bytes(size, '\0');
    QRandomGenerator random(size);
    for (char& byte : bytes)
        byte = static_cast<char>(random.bounded(256));
    return bytes;
}

bool startBinary(SimulatorLine& line, const QByteArray& command) {
    line.write(command + '\r');
    return line.readUntil(command + "\r\nbinary").endsWith(command + "\r\nbinary");
}

// A whole binary write; returns the answers to the frames, in order.
QByteArray binaryWrite(SimulatorLine& line, quint32 address, const QByteArray& data) {
    if (!startBinary(line, "bwr")) return "no prompt";
    line.write(loadHeader(address, static_cast<quint32>(data.size())));
    QByteArray answers;
    for (qsizetype at = 0; at < data.size(); at += frameSize) {
        line.write(frame(data.mid(at, frameSize)));
        answers += line.readCount(1);
    }
    line.write("\x03");
    EXPECT_EQ(line.readUntil(">>"), "end binary\r\n>>");
    return answers;
}

TEST(SimulatorLineMode, EchoesEveryLineAndPrompts) {
    struct Case {
        QByteArray typed;
        QByteArray answer;
    };
    const std::array cases{
        Case{"ls\r", "ls\r\n>>"},
        Case{"\r", "\r\n>>"},
        Case{"\n", "\n"},
        Case{"sr epc\r", "sr epc\r\nusage: sr register hex\r\n>>"},
        Case{"sr sp zz\r", "sr sp zz\r\nusage: sr register hex\r\n>>"},
        Case{"xbwr\r", "xbwr\r\n>>"},
        Case{"bw\x7fwr\r", "bw\x7fwr\r\nbinary"}, // rubbed out and retyped
    };
    Simulator sim;
    SimulatorLine line(sim.devicePath());
    QByteArray allTyped, allAnswers;
    for (const Case& c : cases) {
        line.write(c.typed);
        EXPECT_EQ(line.readUntil(c.answer), c.answer) << c.typed.toStdString();
        allTyped += c.typed;
        allAnswers += c.answer;
    }
    EXPECT_EQ(sim.stop().counter("bytes-in"), quint64(allTyped.size()));
    EXPECT_EQ(sim.transcript().received(), allTyped);
    EXPECT_EQ(sim.transcript().sent(), allAnswers);
}

class SimulatorBinaryWrite : public testing::TestWithParam<qsizetype> {};

TEST_P(SimulatorBinaryWrite, StoresExactlyTheAnnouncedBytes) {
    const QByteArray data = payload(GetParam());
    const qsizetype frames = (data.size() + frameSize - 1) / frameSize;
    Simulator sim;
    SimulatorLine line(sim.devicePath());

    EXPECT_EQ(binaryWrite(line, loadAddress, data), QByteArray(frames, 'Y'));

    const SimulatorReport report = sim.report();
    EXPECT_EQ(report.counter("frames-acknowledged"), quint64(frames));
    EXPECT_EQ(report.counter("stray-bytes"), 0u);
    if (data.isEmpty()) {
        EXPECT_TRUE(report.regions.empty());
        return;
    }
    ASSERT_EQ(report.regions.size(), 1u);
    EXPECT_EQ(report.regions[0].address, loadAddress);
    EXPECT_TRUE(report.regions[0].bytes == data);
    // The pad of the last frame is not stored, nor anything before the start.
    const QByteArray around = report.memory(loadAddress - 16, data.size() + 32);
    EXPECT_TRUE(around == QByteArray(16, '\0') + data + QByteArray(16, '\0'));
}

INSTANTIATE_TEST_SUITE_P(Sizes, SimulatorBinaryWrite,
                         testing::Values(0, 5, frameSize, frameSize + 1, 1 << 20));

TEST(SimulatorBinaryWrite, RefusesABadChecksumAndTakesTheResend) {
    Simulator sim;
    SimulatorLine line(sim.devicePath());
    ASSERT_TRUE(startBinary(line, "bwr"));
    line.write(loadHeader(0x80020000, 3));
    line.write(frame("abc", 1));
    EXPECT_EQ(line.readCount(1), "N");
    EXPECT_TRUE(sim.report().regions.empty());

    line.write(frame("abc"));
    EXPECT_EQ(line.readCount(1), "Y");
    line.write("\x03");
    EXPECT_EQ(line.readUntil(">>"), "end binary\r\n>>");
    const SimulatorReport report = sim.report();
    EXPECT_EQ(report.memory(0x80020000, 4), QByteArray("abc\0", 4));
    EXPECT_EQ(report.counter("frames-refused"), 1u);
    EXPECT_EQ(report.counter("frames-acknowledged"), 1u);
}

TEST(SimulatorBinaryWrite, StrayBytesBetweenBlocksDoNotWedgeIt) {
    Simulator sim;
    SimulatorLine line(sim.devicePath());
    ASSERT_TRUE(startBinary(line, "bwr"));
    line.write("zz"); // before the header
    line.write(loadHeader(0x1000, 1));
    line.write("q"); // between blocks
    line.write(frame("!"));
    EXPECT_EQ(line.readCount(1), "Y");
    line.write("ls\r"); // a line typed into binary mode gives the prompt back
    EXPECT_EQ(line.readUntil(">>"), "\r\n>>");
    line.write("ls\r");
    EXPECT_EQ(line.readUntil(">>"), "ls\r\n>>");
    const SimulatorReport report = sim.report();
    EXPECT_EQ(report.counter("stray-bytes"), 5u);
    EXPECT_EQ(report.memory(0x1000, 1), "!");
}

TEST(SimulatorBinaryWrite, DropsAFrameCutShortBySilence) {
    Simulator sim({"--block-timeout", "100"});
    SimulatorLine line(sim.devicePath());
    ASSERT_TRUE(startBinary(line, "bwr"));
    line.write(loadHeader(0x2000, 2));
    line.write(frame("xy").left(100));
    EXPECT_EQ(line.readFor(300), "");
    line.write(frame("xy"));
    EXPECT_EQ(line.readCount(1), "Y");
    const SimulatorReport report = sim.report();
    EXPECT_EQ(report.counter("blocks-dropped"), 1u);
    EXPECT_EQ(report.memory(0x2000, 2), "xy");
}

TEST(SimulatorBinaryRead, SendsTheRequestedMemoryRaw) {
    Simulator sim;
    SimulatorLine line(sim.devicePath());
    binaryWrite(line, 0x80030000, "\x01\r\n\x03>");

    ASSERT_TRUE(startBinary(line, "brd"));
    line.write(loadHeader(0x8002fffe, 9));
    const QByteArray expected = QByteArray(2, '\0') + "\x01\r\n\x03>" + QByteArray(2, '\0');
    EXPECT_EQ(line.readUntil(expected + "\r\n>>"), expected + "\r\n>>");

    ASSERT_TRUE(startBinary(line, "brd"));
    line.write(loadHeader(0x80030000, 0));
    EXPECT_EQ(line.readUntil(">>"), "\r\n>>");
    EXPECT_EQ(sim.report().counter("binary-reads"), 2u);
}

TEST(SimulatorRegisters, SrSetsAnyRegister) {
    Simulator sim;
    SimulatorLine line(sim.devicePath());
    for (const QByteArray command : {"sr epc 80010000\r", "sr gp 0x8009ff00\r", "sr sp 801ffff0\r",
                                     "sr t0 FFFFFFFFF\r", "sr sp 801fff00\r"}) {
        line.write(command);
        EXPECT_EQ(line.readUntil(">>"), command + "\n>>");
    }
    const std::map<QString, quint32> expected{
        {"epc", 0x80010000}, {"gp", 0x8009ff00}, {"sp", 0x801fff00}, {"t0", 0xffffffff}};
    EXPECT_EQ(sim.registers(), expected);

    line.write("dr\r");
    EXPECT_EQ(line.readUntil(">>"), "dr\r\nepc 80010000\r\ngp 8009ff00\r\nsp 801fff00\r\n"
                                    "t0 ffffffff\r\n>>");
    // The report at exit carries them too.
    EXPECT_EQ(sim.stop().registers, expected);
}

TEST(SimulatorFaults, RefuseFrameRefusesOnlyThatFrame) {
    Simulator sim({"--refuse-frame", "2"});
    SimulatorLine line(sim.devicePath());
    const QByteArray data = payload(3 * frameSize);
    ASSERT_TRUE(startBinary(line, "bwr"));
    line.write(loadHeader(0, static_cast<quint32>(data.size())));
    QByteArray answers;
    for (const qsizetype at : {0, 1, 1, 2}) { // the refused one sent again
        line.write(frame(data.mid(at * frameSize, frameSize)));
        answers += line.readCount(1);
    }
    EXPECT_EQ(answers, "YNYY");
    EXPECT_TRUE(sim.memory(0, data.size()) == data);
}

TEST(SimulatorFaults, NoEndBinaryAnswersWithThePromptOnly) {
    Simulator sim({"--no-end-binary"});
    SimulatorLine line(sim.devicePath());
    ASSERT_TRUE(startBinary(line, "bwr"));
    line.write(loadHeader(0, 1));
    line.write(frame("a"));
    EXPECT_EQ(line.readCount(1), "Y");
    line.write("\x03");
    EXPECT_EQ(line.readUntil(">>"), "\r\n>>");
}

TEST(SimulatorFaults, StallAfterFallsSilentButStillReports) {
    Simulator sim({"--stall-after", "1"});
    SimulatorLine line(sim.devicePath());
    ASSERT_TRUE(startBinary(line, "bwr"));
    line.write(loadHeader(0x100, 2 * frameSize));
    line.write(frame("first"));
    EXPECT_EQ(line.readCount(1), "Y");
    line.write(frame("second"));
    line.write("\x03ls\r");
    EXPECT_EQ(line.readFor(300), "");
    const SimulatorReport report = sim.report();
    EXPECT_EQ(report.counter("frames-acknowledged"), 1u);
    EXPECT_EQ(report.counter("bytes-in"), quint64(4 + 9 + 2 * (frameSize + 2) + 4));
    EXPECT_EQ(report.memory(0x100, 5), "first");
}

TEST(SimulatorFaults, GarbagePromptStandsWhereBinaryShouldBe) {
    Simulator sim({"--garbage-prompt"});
    SimulatorLine line(sim.devicePath());
    line.write("bwr\r");
    const QByteArray answer = line.readFor(300);
    EXPECT_TRUE(answer.startsWith("bwr\r\n")) << answer.toStdString();
    EXPECT_GT(answer.size(), 5);
    EXPECT_FALSE(answer.contains("binary")) << answer.toStdString();
    // It still went into binary mode, so 0x03 closes it.
    line.write("\x03");
    EXPECT_EQ(line.readUntil(">>"), "end binary\r\n>>");
}

TEST(SimulatorFaults, HangupAfterClosesTheLine) {
    Simulator sim({"--hangup-after", "3"});
    SimulatorLine line(sim.devicePath());
    line.write("ls\rls\r");
    line.readFor(1000);
    EXPECT_TRUE(line.hungUp());
    EXPECT_TRUE(sim.waitForLine("hangup"));
    const SimulatorReport report = sim.report();
    EXPECT_EQ(report.counter("bytes-in"), 3u);
    EXPECT_EQ(report.counter("hangups"), 1u);
}

TEST(SimulatorFaults, RelinkOffersANewDeviceAtTheSamePath) {
    QTemporaryDir directory;
    const QString link = directory.filePath("console");
    Simulator sim({"--link", link, "--relink", "--hangup-after", "9"});
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), sim.devicePath());
    {
        SimulatorLine line(link);
        line.write("sr sp 42\r");
        line.readFor(500);
        EXPECT_TRUE(line.hungUp());
    }
    const auto device = sim.waitForLine("device ");
    ASSERT_TRUE(device);
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), device->mid(7));

    SimulatorLine again(link);
    again.write("ls\r");
    EXPECT_EQ(again.readUntil(">>"), "ls\r\n>>");
    EXPECT_EQ(sim.registers().at("sp"), 0x42u); // the console kept its state
    sim.stop();
    EXPECT_FALSE(QFileInfo(link).isSymLink()) << "the link outlived the simulator";
}

// One frame sent at 115200 baud once the binary write has begun, timed from
// the moment it was written.
class SimulatorPacing : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(startBinary(line, "bwr"));
        line.write(loadHeader(0, frameSize));
        clock.start();
        line.write(frame(payload(frameSize)));
    }

    static constexpr qint64 lineMs = (frameSize + 2) * 10 * 1000 / 115200; // 177 ms
    Simulator sim{{"--baud", "115200"}};
    SimulatorLine line{sim.devicePath()};
    QElapsedTimer clock;
};

TEST_F(SimulatorPacing, AFrameTakesItsLineTime) {
    EXPECT_EQ(line.readCount(1), "Y");
    EXPECT_GE(clock.elapsed(), lineMs);
    EXPECT_LT(clock.elapsed(), lineMs + 500);

    // The transcript times the frame's bytes over the same span: from the
    // entry holding its first byte (after "bwr\r" and the header) to the last.
    qsizetype received = 0;
    double frameStart = -1, frameEnd = -1;
    for (const auto& entry : sim.transcript().entries) {
        if (entry.kind != SimulatorTranscript::Kind::In) continue;
        received += entry.bytes.size();
        if (frameStart < 0 && received > 4 + 9) frameStart = entry.seconds;
        frameEnd = entry.seconds;
    }
    EXPECT_GE(frameEnd - frameStart, (lineMs - 10) / 1000.0);
}

// A UART goes on shifting while its program is not running. The simulator
// keeps enough of the frame ahead that a pause of a few tens of milliseconds
// (a busy machine) costs no line time.
TEST_F(SimulatorPacing, APauseOfTheSimulatorCostsNoLineTime) {
    // Paused only once it is taking the frame in: a pause before that would
    // be time the frame had not yet begun.
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return sim.transcript().received().size() > 4 + 9 + 1; }, 2000));
    ::kill(pid_t(sim.processId()), SIGSTOP);
    QThread::msleep(40); // the pause itself
    ::kill(pid_t(sim.processId()), SIGCONT);
    EXPECT_EQ(line.readCount(1), "Y");
    EXPECT_GE(clock.elapsed(), lineMs);
    // Without the lead the pause would add about 35 ms.
    EXPECT_LT(clock.elapsed(), lineMs + 25);
}

TEST(SimulatorProgram, RefusesUnknownOptions) {
    for (const QStringList& arguments :
         {QStringList{"--bogus"}, QStringList{"--baud", "fast"}, QStringList{"--relink"}}) {
        QProcess program;
        program.start(Simulator::program(), arguments);
        ASSERT_TRUE(program.waitForFinished(5000));
        EXPECT_EQ(program.exitCode(), 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(program.readAllStandardOutput().isEmpty());
    }
}

} // namespace
} // namespace kestrel::test
