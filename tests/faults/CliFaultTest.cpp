// kestrel-cli against a monitor that fails: a real process on a real
// pseudo-terminal, the simulator injecting the fault. Each run must end with
// status 1 and a message within a few seconds.
#include "Simulator.h"
#include "TestFiles.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace kestrel::test {
namespace {

constexpr int Frame = 2048;

struct CliFault {
    const char* name;
    QStringList options;
    // The command line after "-p DEVICE"; "DATA" and "AUTO" name the files
    // the test writes, "EXE" the PS-X EXE fixture.
    QStringList command;
    QStringList errors; // pieces stderr must hold
    int seconds;        // the most the run may take
};

class CliFaults : public ::testing::TestWithParam<CliFault> {
protected:
    QString write(const QString& name, const QByteArray& bytes) {
        return kestrel::test::writeTestFile(dir, name, bytes);
    }
    QTemporaryDir dir;
};

TEST_P(CliFaults, ExitsOneWithAMessageInTime) {
    const CliFault& fault = GetParam();
    Simulator sim(fault.options);
    QStringList args{"-q", "-p", sim.devicePath()};
    for (const QString& word : fault.command) {
        if (word == "DATA")
            args << write("data.bin", QByteArray(5 * Frame, 'd'));
        else if (word == "AUTO")
            // Auto-file lines are lower-cased: the data file is named
            // relative to the working directory.
            args << write("boot.sio", "local dload data.bin 80010000\rlocal echo after\r");
        else if (word == "EXE")
            args << fixturePath(QStringLiteral("hello.exe"));
        else
            args << word;
    }
    if (fault.command.contains("AUTO")) write("data.bin", QByteArray(5 * Frame, 'd'));

    QElapsedTimer timer;
    timer.start();
    QProcess cli;
    cli.setWorkingDirectory(dir.path());
    cli.start(QStringLiteral(KESTREL_BINARY_DIR "/src/cli/kestrel-cli"), args);
    ASSERT_TRUE(cli.waitForStarted());
    cli.closeWriteChannel();
    ASSERT_TRUE(cli.waitForFinished(20000));
    const QByteArray err = cli.readAllStandardError();
    EXPECT_EQ(cli.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(cli.exitCode(), 1) << err.constData();
    EXPECT_LT(timer.elapsed(), fault.seconds * 1000);
    for (const QString& piece : fault.errors)
        EXPECT_TRUE(err.contains(piece.toUtf8())) << piece.toStdString() << " in " << err.data();
}

const QString Vanished = QStringLiteral("went away");
const QString UploadFailed = QStringLiteral("kestrel-cli: Upload of data failed.");
const QString NoEndBinary = QStringLiteral("kestrel-cli: No end binary!");

INSTANTIATE_TEST_SUITE_P(Cli, CliFaults,
                         ::testing::Values(
                             // 2063 bytes carry "bwr\r", the header and the first frame.
                             CliFault{"DeviceVanishesMidFrameOfADataDownload",
                                      {"--hangup-after", "3000"},
                                      {"dload", "DATA", "80010000"},
                                      {Vanished, UploadFailed},
                                      5},
                             CliFault{"DeviceVanishesMidFrameOfAnExecutable",
                                      {"--hangup-after", "3000"},
                                      {"load", "EXE"},
                                      {Vanished, UploadFailed},
                                      5},
                             CliFault{"DeviceVanishesInAnAutoFilesDownload",
                                      {"--hangup-after", "3000"},
                                      {"auto", "AUTO"},
                                      {Vanished, UploadFailed},
                                      5},
                             // "\r", "brd\r" and the header are 14 bytes: the block never comes.
                             CliFault{"DeviceVanishesBeforeTheReceivedBlock",
                                      {"--hangup-after", "14"},
                                      {"receive", "back.bin", "80010000", "100000"},
                                      {Vanished},
                                      5},
                             CliFault{"MonitorStallsAfterOneFrame",
                                      {"--stall-after", "1"},
                                      {"dload", "DATA", "80010000"},
                                      {UploadFailed, NoEndBinary},
                                      8},
                             CliFault{"MonitorNeverAnswersEndBinary",
                                      {"--no-end-binary"},
                                      {"dload", "DATA", "80010000"},
                                      {NoEndBinary},
                                      5},
                             CliFault{"VerifyFindsAWrongByteOfADataFile",
                                      {"--wrong-read-byte", "5000"},
                                      {"--verify", "dload", "DATA", "80010000"},
                                      {"kestrel-cli: Verify failed at 80011387: sent 64, read 9b."},
                                      5},
                             CliFault{"VerifyFindsAWrongByteOfAnAutoFilesDownload",
                                      {"--wrong-read-byte", "1"},
                                      {"--verify", "auto", "AUTO"},
                                      {"kestrel-cli: Verify failed at 80010000: sent 64, read 9b."},
                                      5},
                             CliFault{"VerifyFindsAShortBlockOfAnExecutable",
                                      {"--short-read", "100"},
                                      {"--verify", "load", "EXE"},
                                      {"Verify failed at 80010064: read 100 of 6144 bytes."},
                                      8}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
