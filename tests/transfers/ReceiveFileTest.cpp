#include "ReceiveFile.h"
#include "FileModes.h"
#include "TransferFixture.h"

#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const QString NoBinaryRead = QStringLiteral("Failed to start a binary-read conversation.");
const QString Busy = QStringLiteral(
    "A file upload is currently in progress.\nPlease try again once it has completed.");
const QByteArray Request800 = QByteArray::fromHex("018001000000000800");

class ReceiveTest : public TransferFixture {
protected:
    ReceiveTest() {
        capture.onFinished = [this](TransferOutcome outcome, quint32 received) {
            finished.append({outcome, received});
        };
    }

    ReceiveStart receive(const QString& file, const QString& address = "80010000",
                         const QString& length = "800") {
        return receiveDataFileCommand(link, capture, [&]() -> std::optional<ReceiveRequest> {
            ++dialogRuns;
            EXPECT_TRUE(link.isBusy()) << "no download may start in the middle";
            return ReceiveRequest{file, address, length};
        });
    }

    // Lets the bytes due within `ms` arrive and reach the receive path.
    void settle(qint64 ms = 0) {
        clock.advanceMs(ms);
        host.pumpMessages();
    }

    void expectClosed(const QString& file) {
        EXPECT_FALSE(capture.active());
        EXPECT_FALSE(link.isCapturing());
        EXPECT_FALSE(link.isBusy());
        EXPECT_TRUE(unlocked(file));
    }

    ReceiveCapture capture{link};
    QList<std::pair<TransferOutcome, quint32>> finished;
    int dialogRuns = 0;
};

// The block holds zero bytes; the monitor still has the tail of its prompt
// line on its way when the header starts, and sends its next prompt after the
// block. Only the block lands in the file.
TEST_F(ReceiveTest, CapturesExactlyTheRequestedBlock) {
    QByteArray block = pattern(0x800);
    block[0] = '\0';
    block[0x7ff] = '\0';
    monitor.fill(0x80010000, block);
    monitor.strayAfterPrompt = "\r\n>>";
    monitor.readChunk = 300;
    const QString file = path("block.bin");

    EXPECT_EQ(receive(file), ReceiveStart::Capturing);
    EXPECT_EQ(port.wire(), "\rbrd\r" + Request800 + "\r");
    EXPECT_EQ(monitor.headers, QList<QByteArray>{Request800});
    EXPECT_EQ(host.fieldHistory[FieldTask], QStringList{"Recv: 80010000 800"});
    EXPECT_TRUE(capture.active());
    EXPECT_TRUE(finished.isEmpty());

    settle(1000);

    EXPECT_EQ(readFile(file), block);
    EXPECT_EQ(finished,
              (QList<std::pair<TransferOutcome, quint32>>{{TransferOutcome::Completed, 0x800}}));
    EXPECT_EQ(host.fields[FieldTask], "Received 2048 bytes.");
    expectClosed(file);
    QByteArray shown = block;
    shown.replace('\0', QByteArray());
    EXPECT_FALSE(host.rawTerminal().contains(shown)) << "captured bytes are data, not shown";
    EXPECT_FALSE(QFileInfo::exists(file + ".partial"));
    EXPECT_TRUE(host.rawTerminal().endsWith("\r\n>>")) << "what follows is shown, not written";
    EXPECT_TRUE(host.messages.isEmpty());
}

TEST_F(ReceiveTest, ZeroLengthFinishesAtOnceWithAnEmptyFile) {
    const QString file = writeFile("old.bin", "previous contents");
    EXPECT_EQ(receive(file, "80010000", "zz"), ReceiveStart::Capturing);
    EXPECT_EQ(port.wire(), "\rbrd\r" + QByteArray::fromHex("018001000000000000") + "\r");
    EXPECT_EQ(finished,
              (QList<std::pair<TransferOutcome, quint32>>{{TransferOutcome::Completed, 0}}));
    EXPECT_EQ(host.fields[FieldTask], "Received 0 bytes.");
    EXPECT_TRUE(QFileInfo::exists(file));
    EXPECT_EQ(readFile(file), QByteArray());
    expectClosed(file);
}

TEST_F(ReceiveTest, StopReceivingEndsTheCaptureWithWhatArrived) {
    const QByteArray block = pattern(0x800);
    monitor.fill(0x80010000, block);
    monitor.readBytesSent = 0x400;
    const QString file = path("half.bin");

    ASSERT_EQ(receive(file), ReceiveStart::Capturing);
    settle(1000);
    EXPECT_TRUE(capture.active());
    EXPECT_EQ(capture.received(), 0x400u);

    stopReceiving(capture);
    // What arrived is kept beside the file, which a stopped receive leaves
    // as it was (here: not there).
    const QString partial = file + ".partial";
    EXPECT_EQ(readFile(partial), block.left(0x400));
    EXPECT_FALSE(QFileInfo::exists(file));
    EXPECT_EQ(host.fields[FieldTask],
              "Receive stopped: 1024 of 2048 bytes. Kept in half.bin.partial.");
    EXPECT_EQ(finished,
              (QList<std::pair<TransferOutcome, quint32>>{{TransferOutcome::Stopped, 0x400}}));
    expectClosed(partial);

    const QStringList fieldsBefore = host.fieldHistory[FieldTask];
    stopReceiving(capture);
    EXPECT_EQ(host.fieldHistory[FieldTask], fieldsBefore) << "a second Stop does nothing";
    EXPECT_EQ(finished.size(), 1);

    // Bytes arriving after the stop are shown, not written.
    port.deliver("late");
    settle();
    EXPECT_EQ(readFile(partial), block.left(0x400));
    EXPECT_TRUE(host.rawTerminal().endsWith("late"));
}

TEST_F(ReceiveTest, NoPromptLeavesTheFileAsItWas) {
    monitor.answerPrompts = false;
    const QString file = writeFile("target.bin", "previous contents");

    EXPECT_EQ(receive(file), ReceiveStart::NoPrompt);

    EXPECT_EQ(port.wire(), "\rbrd\r\n");
    EXPECT_EQ(host.messages, QStringList{NoBinaryRead});
    EXPECT_EQ(readFile(file), "previous contents");
    EXPECT_FALSE(QFileInfo::exists(file + ".partial")) << "nothing arrived, nothing is kept";
    EXPECT_TRUE(finished.isEmpty());
    expectClosed(file);
}

TEST_F(ReceiveTest, RefusedWhileATransferOrACaptureRuns) {
    {
        const TransferHold running(link, TransferHold::Kind::Busy);
        EXPECT_EQ(receive(path("a.bin")), ReceiveStart::Refused);
        EXPECT_TRUE(link.isBusy()) << "the running transfer keeps its flag";
    }
    EXPECT_EQ(host.messages, QStringList{Busy});
    EXPECT_TRUE(port.writes.isEmpty());

    monitor.readBytesSent = 0;
    ASSERT_EQ(receive(path("b.bin")), ReceiveStart::Capturing);
    port.writes.clear();
    EXPECT_EQ(receive(path("c.bin")), ReceiveStart::Refused);
    EXPECT_EQ(host.messages, QStringList({Busy, Busy}));
    EXPECT_TRUE(port.writes.isEmpty());
    EXPECT_EQ(dialogRuns, 1);
    EXPECT_FALSE(QFileInfo::exists(path("a.bin")));
    EXPECT_FALSE(QFileInfo::exists(path("c.bin")));
}

TEST_F(ReceiveTest, CancelSendsOnlyTheLineEnd) {
    bool suppressedInDialog = true;
    const auto start = receiveDataFileCommand(link, capture, [&] {
        suppressedInDialog = link.displaySuppressed();
        return std::optional<ReceiveRequest>();
    });
    EXPECT_EQ(start, ReceiveStart::Cancelled);
    EXPECT_EQ(port.wire(), "\r");
    EXPECT_FALSE(suppressedInDialog) << "the monitor's answers are to be seen";
    EXPECT_FALSE(link.isBusy());
    EXPECT_FALSE(host.fields.contains(FieldTask));
}

TEST_F(ReceiveTest, TargetThatCannotBeCreated) {
    const QString unwritable = path("read-only");
    ASSERT_TRUE(QDir(dir.path()).mkdir("read-only"));
    ASSERT_EQ(::chmod(QFile::encodeName(unwritable).constData(), 0555), 0);
    // The category, then the system's reason; a folder that does not exist
    // is a bad path, not a missing file.
    const struct {
        QString file;
        unsigned category;
        QString reason;
    } cases[] = {{unwritable + "/kestrel-received.bin", 5, "(Permission denied)"},
                 {path("missing/received.bin"), 3, "(No such file or directory)"},
                 {dir.path(), 5, "(Is a directory)"}};
    const FileModesBindEveryone modesBind;
    ASSERT_TRUE(modesBind.ok());
    for (const auto& c : cases) {
        host.messages.clear();
        port.writes.clear();
        EXPECT_EQ(receive(c.file), ReceiveStart::CannotOpen);
        EXPECT_EQ(host.messages, QStringList{QStringLiteral("Can't open file %1, error = %2\n%3")
                                                 .arg(c.file)
                                                 .arg(c.category)
                                                 .arg(c.reason)});
        EXPECT_EQ(port.wire(), "\r") << "nothing more is sent";
        EXPECT_FALSE(capture.active());
    }
    EXPECT_FALSE(host.fields.contains(FieldTask));
}

TEST_F(ReceiveTest, TargetLockedByAnotherProgram) {
    const QString file = writeFile("held.bin", "theirs");
    const int holder = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(receive(file), ReceiveStart::CannotOpen);
    EXPECT_EQ(host.messages,
              QStringList{QStringLiteral(
                              "Can't open file %1, error = 11\n(Resource temporarily unavailable)")
                              .arg(file)});
    EXPECT_EQ(readFile(file), "theirs") << "a held file is not emptied";
    ::close(holder);
}

TEST_F(ReceiveTest, WriteErrorEndsTheCaptureWithAMessage) {
    if (!QFileInfo::exists("/dev/full")) GTEST_SKIP() << "needs /dev/full";
    monitor.fill(0x80010000, "abc");
    ASSERT_EQ(receive("/dev/full", "80010000", "3"), ReceiveStart::Capturing);
    settle(1000);

    ASSERT_EQ(host.messages.size(), 1);
    EXPECT_TRUE(host.messages[0].startsWith("Can't write file /dev/full"))
        << host.messages[0].toStdString();
    EXPECT_EQ(host.fields[FieldTask], "Receive failed: 0 of 3 bytes.");
    EXPECT_EQ(finished, (QList<std::pair<TransferOutcome, quint32>>{{TransferOutcome::Failed, 0}}));
    expectClosed("/dev/full");
    EXPECT_FALSE(host.rawTerminal().contains("abc")) << "received bytes are data, not shown";
}

TEST_F(ReceiveTest, NewFileFollowsTheUmask) {
    const mode_t saved = ::umask(027);
    const auto start = receive(path("masked.bin"), "0", "0");
    ::umask(saved);
    ASSERT_EQ(start, ReceiveStart::Capturing);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path("masked.bin")).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

} // namespace
