#include "DataDownload.h"
#include "TransferFixture.h"

#include <QDir>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const QString NoPrompt = QStringLiteral("ERROR: No Binary Write Prompt!");
const QString WriteTimeout =
    QStringLiteral("Binary write timeout.\nYou may need to reset your Yaroze.");
const QString Refused = QStringLiteral("Upload of data failed.");
const QString Busy = QStringLiteral(
    "A file upload is currently in progress.\nPlease try again once it has completed.");

QByteArray header(quint32 address, quint32 length) {
    QByteArray h(1, '\x01');
    for (quint32 v : {address, length})
        for (int shift = 24; shift >= 0; shift -= 8)
            h += static_cast<char>(v >> shift);
    return h;
}

// The frames of `data` as they go on the line: 02, 2048 bytes padded with
// spaces, the checksum.
QByteArray frames(const QByteArray& data) {
    QByteArray out;
    for (qsizetype at = 0; at < data.size(); at += 2048) {
        QByteArray block = data.mid(at, 2048);
        block.append(QByteArray(2048 - block.size(), ' '));
        quint8 sum = 0;
        for (char c : block)
            sum = static_cast<quint8>(sum + static_cast<quint8>(c));
        out += '\x02' + block + static_cast<char>(sum);
    }
    return out;
}

class DownloadTest : public TransferFixture {
protected:
    TransferOutcome download(const QString& file, const QString& address = "80010000") {
        dialogRuns = 0;
        return downloadDataFileCommand(link, [&]() -> std::optional<DownloadRequest> {
            ++dialogRuns;
            EXPECT_TRUE(link.isBusy()) << "flags are taken before the dialog opens";
            EXPECT_TRUE(link.displaySuppressed());
            return DownloadRequest{file, address};
        });
    }

    void expectReleased() {
        EXPECT_FALSE(link.isBusy());
        EXPECT_FALSE(link.displaySuppressed());
        EXPECT_EQ(port.rThreshold(), 1);
    }

    QString sendingLine(const QString& file, quint32 length) const {
        return QStringLiteral("Sending: %1, Address:80010000, Length:%2\r")
            .arg(file)
            .arg(length, 0, 16);
    }

    int dialogRuns = 0;
};

struct SizeCase {
    qsizetype size;
    QStringList counters;
    QList<int> progress;
    friend void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.size << " bytes"; }
};

class DownloadSizes : public DownloadTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(DownloadSizes, SendsTheFileAndShowsEveryStep) {
    const SizeCase& c = GetParam();
    const QByteArray data = pattern(c.size);
    const QString file = writeFile("data.bin", data);

    EXPECT_EQ(download(file), TransferOutcome::Completed);

    EXPECT_EQ(port.wire(), "bwr\r" + header(0x80010000, quint32(c.size)) + frames(data) + "\x03\r");
    EXPECT_EQ(monitor.memoryAt(0x80010000, quint32(c.size)), data);
    EXPECT_EQ(QString::fromLocal8Bit(host.rawTerminal()), sendingLine(file, quint32(c.size)));
    EXPECT_EQ(host.fieldHistory[FieldState], QStringList({file, "Done."}));
    EXPECT_EQ(host.fieldHistory[FieldCounter], c.counters);
    EXPECT_EQ(host.progressPositions, c.progress);
    EXPECT_EQ(host.progressUpper, 1000);
    EXPECT_TRUE(host.messages.isEmpty()) << host.messages.join('|').toStdString();
    expectReleased();
    EXPECT_TRUE(unlocked(file));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, DownloadSizes,
    ::testing::Values(SizeCase{0, {}, {0}}, SizeCase{5, {"000005/000005"}, {1000, 0}},
                      SizeCase{2048, {"000800/000800"}, {1000, 0}},
                      SizeCase{2049, {"000800/000801", "000801/000801"}, {999, 1000, 0}}));

TEST_F(DownloadTest, AddressTextIsConvertedLeniently) {
    const QString file = writeFile("five.bin", "hello");
    const struct {
        QString text;
        quint32 address;
    } cases[] = {{"80010000", 0x80010000},
                 {"0x80010000", 0x80010000},
                 {"  8001zz", 0x8001},
                 {"zz", 0},
                 {"123456789", 0xFFFFFFFF}};
    for (const auto& c : cases) {
        port.writes.clear();
        EXPECT_EQ(download(file, c.text), TransferOutcome::Completed);
        EXPECT_EQ(port.wire().mid(4, 9), header(c.address, 5)) << c.text.toStdString();
    }
}

TEST_F(DownloadTest, RefusedFrameStopsTheFramesButNotTheEnding) {
    const QByteArray data = pattern(3 * 2048);
    const QString file = writeFile("three.bin", data);
    monitor.refusedFrames = {2};

    EXPECT_EQ(download(file), TransferOutcome::Failed);

    EXPECT_EQ(monitor.frames, 2) << "no frame after the refused one";
    EXPECT_EQ(port.wire(),
              "bwr\r" + header(0x80010000, 3 * 2048) + frames(data.left(4096)) + "\x03\r");
    EXPECT_EQ(host.messages, QStringList{Refused});
    EXPECT_EQ(host.fieldHistory[FieldCounter], QStringList{"000800/001800"});
    EXPECT_EQ(host.fieldHistory[FieldState], QStringList({file, "Done."}));
    EXPECT_EQ(host.progressPositions.last(), 0);
    expectReleased();
    EXPECT_TRUE(unlocked(file));
}

TEST_F(DownloadTest, NoPromptEndsTheConversationAndClosesTheFile) {
    const QString file = writeFile("five.bin", "hello");
    monitor.answerPrompts = false;

    EXPECT_EQ(download(file), TransferOutcome::Failed);

    EXPECT_EQ(port.wire(), "bwr\r\x03\r");
    EXPECT_EQ(host.messages, QStringList({NoPrompt, WriteTimeout}));
    EXPECT_TRUE(host.rawTerminal().isEmpty());
    EXPECT_FALSE(host.fields.contains(FieldState));
    EXPECT_TRUE(host.progressPositions.isEmpty());
    EXPECT_EQ(port.inBufferCount(), 0) << "the monitor's echo is discarded";
    expectReleased();
    EXPECT_TRUE(unlocked(file));
}

TEST_F(DownloadTest, MissingEndBinaryIsReportedAndTheLineEndStillSent) {
    const QString file = writeFile("five.bin", "hello");
    monitor.answerEnd = false;

    EXPECT_EQ(download(file), TransferOutcome::Failed);

    EXPECT_TRUE(port.wire().endsWith("\x03\r"));
    EXPECT_EQ(host.messages, QStringList{"No end binary!"});
    EXPECT_EQ(host.fields[FieldState], "Done.");
    EXPECT_EQ(host.progressPositions.last(), 0);
    EXPECT_EQ(monitor.memoryAt(0x80010000, 5), "hello");
    expectReleased();
}

TEST_F(DownloadTest, StopDuringSecondOfFiveFramesLetsItFinishAndSendsNoThird) {
    const QByteArray data = pattern(5 * 2048);
    const QString file = writeFile("five-frames.bin", data);
    monitor.onFrame = [&](int frame) {
        if (frame == 2) link.stopTransfer();
    };

    EXPECT_EQ(download(file), TransferOutcome::Stopped);

    EXPECT_EQ(monitor.frames, 2);
    EXPECT_EQ(port.wire(),
              "bwr\r" + header(0x80010000, 5 * 2048) + frames(data.left(4096)) + "\x03\r");
    EXPECT_EQ(host.fieldHistory[FieldCounter], QStringList({"000800/002800", "001000/002800"}));
    EXPECT_EQ(host.progressPositions, QList<int>({200, 400, 0}));
    EXPECT_EQ(host.fields[FieldState], "Done.");
    EXPECT_EQ(QString::fromLocal8Bit(host.rawTerminal()),
              sendingLine(file, 5 * 2048) + "\r*** CURRENT FILE TRANSFER ABORTED ***\r");
    EXPECT_TRUE(host.messages.isEmpty());
    expectReleased();
}

TEST_F(DownloadTest, EarlierStopDoesNotCancelTheNextDownload) {
    link.stopTransfer();
    EXPECT_EQ(download(writeFile("five.bin", "hello")), TransferOutcome::Completed);
}

TEST_F(DownloadTest, UnopenableFileSendsNothing) {
    const QString locked = writeFile("locked.bin", "hello");
    const int holder = ::open(QFile::encodeName(locked).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    QDir(dir.path()).mkdir("folder");

    // The category, then the system's reason; a folder that does not exist
    // is a bad path, not a missing file.
    const struct {
        QString file;
        unsigned category;
        QString reason;
    } cases[] = {{path("missing.bin"), 2, "(No such file or directory)"},
                 {path("folder"), 5, "(Is a directory)"},
                 {locked, 11, "(Resource temporarily unavailable)"},
                 {path("missing/five.bin"), 3, "(No such file or directory)"},
                 {locked + "/x", 3, "(Not a directory)"}};
    for (const auto& c : cases) {
        host.messages.clear();
        EXPECT_EQ(download(c.file), TransferOutcome::NotStarted);
        EXPECT_EQ(host.messages, QStringList{QStringLiteral("Can't open file %1, error = %2\n%3")
                                                 .arg(c.file)
                                                 .arg(c.category)
                                                 .arg(c.reason)});
        EXPECT_EQ(dialogRuns, 1);
        expectReleased();
    }
    ::close(holder);
    EXPECT_TRUE(port.writes.isEmpty());
    EXPECT_TRUE(host.rawTerminal().isEmpty());
    EXPECT_FALSE(host.fields.contains(FieldState));
}

TEST_F(DownloadTest, RefusedWhileAnotherTransferRuns) {
    const TransferHold running(link, TransferHold::Kind::Busy);
    EXPECT_EQ(download(writeFile("five.bin", "hello")), TransferOutcome::NotStarted);
    EXPECT_EQ(host.messages, QStringList{Busy});
    EXPECT_EQ(dialogRuns, 0);
    EXPECT_TRUE(port.writes.isEmpty());
    EXPECT_TRUE(link.isBusy()) << "the running transfer keeps its flag";
}

// The menu is served by the messages the download pumps: choosing the command
// again is refused, and the running download goes on.
TEST_F(DownloadTest, SecondCommandDuringADownloadIsRefusedAndTheFirstGoesOn) {
    const QByteArray data = pattern(3 * 2048);
    const QString file = writeFile("three.bin", data);
    bool again = false;
    monitor.onFrame = [&](int frame) {
        if (frame != 1 || again) return;
        again = true;
        int innerDialogs = 0;
        const auto outcome = downloadDataFileCommand(link, [&]() -> std::optional<DownloadRequest> {
            ++innerDialogs;
            return std::nullopt;
        });
        EXPECT_EQ(outcome, TransferOutcome::NotStarted);
        EXPECT_EQ(innerDialogs, 0);
        EXPECT_TRUE(link.isBusy());
    };

    EXPECT_EQ(download(file), TransferOutcome::Completed);
    EXPECT_EQ(host.messages, QStringList{Busy});
    EXPECT_EQ(monitor.memoryAt(0x80010000, 3 * 2048), data);
    expectReleased();
}

TEST_F(DownloadTest, CancelledDialogReleasesTheFlags) {
    const auto outcome =
        downloadDataFileCommand(link, [] { return std::optional<DownloadRequest>(); });
    EXPECT_EQ(outcome, TransferOutcome::NotStarted);
    EXPECT_TRUE(port.writes.isEmpty());
    expectReleased();
}

TEST_F(DownloadTest, FileThatShrinksWhileSentEndsEarlyWithoutSpinning) {
    const QByteArray data = pattern(5 * 2048);
    const QString file = writeFile("shrinking.bin", data);
    monitor.onFrame = [&](int frame) {
        if (frame == 1) {
            ASSERT_TRUE(QFile::resize(file, 3000));
        }
    };

    EXPECT_EQ(download(file), TransferOutcome::Failed);

    EXPECT_EQ(monitor.frames, 2) << "the short remainder still goes, then nothing";
    EXPECT_EQ(port.wire(),
              "bwr\r" + header(0x80010000, 5 * 2048) + frames(data.left(3000)) + "\x03\r");
    EXPECT_EQ(host.fieldHistory[FieldCounter], QStringList({"000800/002800", "000bb8/002800"}));
    EXPECT_EQ(QString::fromLocal8Bit(host.rawTerminal()),
              sendingLine(file, 5 * 2048) + "File ended early: 000bb8/002800 bytes sent.\r");
    EXPECT_EQ(host.fields[FieldState], "Done.");
    expectReleased();
    EXPECT_TRUE(unlocked(file));
}

TEST_F(DownloadTest, FileThatGrowsWhileSentSendsOnlyTheAnnouncedLength) {
    const QByteArray data = pattern(2049);
    const QString file = writeFile("growing.bin", data);
    monitor.onFrame = [&](int frame) {
        if (frame == 1) {
            ASSERT_TRUE(QFile::resize(file, 10000));
        }
    };
    EXPECT_EQ(download(file), TransferOutcome::Completed);
    EXPECT_EQ(port.wire(), "bwr\r" + header(0x80010000, 2049) + frames(data) + "\x03\r");
}

TEST_F(DownloadTest, FileOfFourGibibytesIsRefusedBeforeAnythingIsSent) {
    const QString file = path("huge.bin");
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(0x100000000LL)) << "sparse files needed for this test";
    }
    EXPECT_EQ(download(file), TransferOutcome::NotStarted);
    ASSERT_EQ(host.messages.size(), 1);
    EXPECT_TRUE(host.messages[0].contains("too large")) << host.messages[0].toStdString();
    EXPECT_TRUE(port.writes.isEmpty());
    expectReleased();
    EXPECT_TRUE(unlocked(file));
}

// The auto files call the core directly, under their own flags.
TEST_F(DownloadTest, CoreLeavesTheCallersFlagsAlone) {
    port.setRThreshold(0);
    const TransferHold running(link, TransferHold::Kind::Busy);
    const TransferHold quiet(link, TransferHold::Kind::Display);
    link.requestAbort();
    EXPECT_EQ(downloadDataFile(link, writeFile("five.bin", "hello"), 0x1000),
              TransferOutcome::Completed);
    EXPECT_EQ(monitor.memoryAt(0x1000, 5), "hello");
    EXPECT_TRUE(link.isBusy());
    EXPECT_TRUE(link.displaySuppressed());
    EXPECT_FALSE(link.isAborting()) << "a stale Stop is cleared at the start";
    EXPECT_EQ(port.rThreshold(), 0);
}

} // namespace
