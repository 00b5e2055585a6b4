#include "MonitorLink.h"
#include "FakeSerialPort.h"
#include "RecorderHost.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace kestrel;
using namespace kestrel::test;

namespace {

class LinkTest : public ::testing::Test {
protected:
    TestClock clock{true};
    RecorderHost host{clock};
    FakeSerialPort port{clock};
    MonitorLink link{port, host};
};

TEST_F(LinkTest, LoadHeaderIsNineSeparateWritesMostSignificantFirst) {
    link.sendLoadHeader(0x1234, 0x56);
    ASSERT_EQ(port.writes.size(), 9);
    EXPECT_EQ(port.wire(), QByteArray::fromHex("010000123400000056"));
    EXPECT_EQ(host.fieldHistory[FieldActivity].last(), "    ");
    EXPECT_TRUE(host.fieldHistory[FieldActivity].contains("TX  "));
}

TEST_F(LinkTest, SendByteZeroSendsOneZeroByte) {
    link.sendByte(0);
    ASSERT_EQ(port.writes.size(), 1);
    EXPECT_EQ(port.writes[0], QByteArray(1, '\0'));
}

TEST_F(LinkTest, ClosedPortDropsSilently) {
    port.setPortOpen(false);
    EXPECT_TRUE(link.sendText("abc"));
    EXPECT_TRUE(port.writes.isEmpty());
    EXPECT_TRUE(host.messages.isEmpty());
}

TEST_F(LinkTest, SendFailureIsReportedOncePerOperation) {
    port.failOutput = true;
    {
        MonitorLink::Operation op(link);
        link.sendLoadHeader(1, 2);
    }
    EXPECT_EQ(host.messages, QStringList{"Could not send data to comms port!"});
    EXPECT_EQ(host.fields[FieldState], "Comms failure.");
    // Outside an operation, every send is its own (a keystroke each).
    link.sendByte('a');
    link.sendByte('b');
    EXPECT_EQ(host.messages.size(), 3);
}

// A frame of "abc": 02, the data, 2045 spaces, checksum C6; answered by Y.
TEST_F(LinkTest, FrameCarriesPaddedBlockAndChecksum) {
    port.responder = [&](const QByteArray& w) {
        if (w.size() == 1 && port.writes.size() == 3) port.deliver("Y");
    };
    ASSERT_TRUE(link.sendBinaryBlocks("abc", 3));
    ASSERT_EQ(port.writes.size(), 3);
    EXPECT_EQ(port.writes[0], QByteArray(1, '\x02'));
    EXPECT_EQ(port.writes[1].size(), 2048);
    EXPECT_EQ(port.writes[1].left(3), "abc");
    EXPECT_EQ(port.writes[1].mid(3), QByteArray(2045, ' '));
    EXPECT_EQ(port.writes[2], QByteArray(1, '\xc6'));
}

TEST_F(LinkTest, ChecksumsOfEdgeFrames) {
    port.responder = [&](const QByteArray& w) {
        if (w.size() == 1 && w[0] != '\x02') port.deliver("Y");
    };
    ASSERT_TRUE(link.sendBinaryBlocks("A", 1));
    EXPECT_EQ(port.writes.last(), QByteArray(1, '\x21'));
    port.writes.clear();
    const QByteArray spaces(2048, ' ');
    ASSERT_TRUE(link.sendBinaryBlocks(spaces.constData(), 2048));
    EXPECT_EQ(port.writes.last(), QByteArray(1, '\x00'));
    port.writes.clear();
    const QByteArray data(2049, 'q');
    ASSERT_TRUE(link.sendBinaryBlocks(data.constData(), 2049));
    ASSERT_EQ(port.writes.size(), 6) << "2049 bytes make two frames";
    EXPECT_EQ(port.writes[4], "q" + QByteArray(2047, ' '));
}

TEST_F(LinkTest, UnansweredFrameStopsAndSaysSo) {
    const QByteArray data(5000, 'x');
    EXPECT_FALSE(link.sendBinaryBlocks(data.constData(), 5000));
    EXPECT_EQ(port.writes.size(), 3) << "nothing after the refused frame";
    EXPECT_EQ(host.messages, QStringList{"Upload of data failed."});
}

TEST_F(LinkTest, NothingToSendSendsNothing) {
    EXPECT_TRUE(link.sendBinaryBlocks("", 0));
    EXPECT_TRUE(link.sendBinaryBlocks("x", -5));
    EXPECT_TRUE(port.writes.isEmpty());
}

struct AnswerCase {
    const char* name;
    QByteArray answer;
    qint64 afterMs;
    bool matches;
    qint64 minWaitMs; // on the fake clock
    qint64 maxWaitMs;
    friend void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }
};

class AwaitTable : public LinkTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AwaitTable, MatchesPrompt) {
    const auto& c = GetParam();
    if (!c.answer.isNull()) port.deliver(c.answer, c.afterMs);
    const qint64 start = clock.nowMs();
    EXPECT_EQ(link.awaitResponse("bwr\r\nbinary"), c.matches);
    const qint64 waited = clock.nowMs() - start;
    EXPECT_GE(waited, c.minWaitMs);
    EXPECT_LE(waited, c.maxWaitMs);
    EXPECT_EQ(port.rThreshold(), 1) << "receive events restored";
    EXPECT_TRUE(host.terminal.isEmpty()) << "the answer is never shown";
}

const AnswerCase answerCases[] = {
    {"ExactPrompt", "bwr\r\nbinary", 0, true, 0, 0},
    {"PromptWithMoreText", "bwr\r\nbinary\r\n>>", 0, true, 0, 0},
    {"PromptAfterEchoTail", "ls\r\n>>bwr\r\nbinary", 0, true, 0, 0},
    {"CrWithoutLf", "bwr\rbinary\r\n>>", 0, false, 2000, 3000},
    {"ZeroBytesIgnored", QByteArray("bw\0r\r\nbin\0ary", 13), 0, true, 0, 0},
    {"NoAnswerTimesOut", QByteArray(), 0, false, 2000, 3000},
    {"EchoStalls", "bwr\r\n", 0, false, 2000, 3000},
    // Eleven unrelated bytes no longer fail at once: the wait goes on.
    {"UnrelatedBytesWaitForDeadline", "xxxxxxxxxxxx", 0, false, 2000, 3000},
    {"PromptJustBeforeDeadline", "bwr\r\nbinary", 1900, true, 1900, 2000},
};

INSTANTIATE_TEST_SUITE_P(Conversation, AwaitTable, ::testing::ValuesIn(answerCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkTest, AnswerInTwoPiecesMatches) {
    port.deliver("bwr\r\n");
    port.deliver("binary", 1200);
    EXPECT_TRUE(link.awaitResponse("bwr\r\nbinary"));
}

TEST_F(LinkTest, BeginBinaryWriteReportsMissingPrompt) {
    EXPECT_FALSE(link.beginBinaryWrite());
    EXPECT_EQ(port.wire(), "bwr\r");
    EXPECT_EQ(host.messages, QStringList{"ERROR: No Binary Write Prompt!"});
    host.messages.clear();
    EXPECT_FALSE(link.beginBinaryRead());
    EXPECT_TRUE(host.messages.isEmpty()) << "the read's caller reports";
}

TEST_F(LinkTest, EndBinaryWaitsForEndBinary) {
    port.responder = [&](const QByteArray& w) {
        if (w == QByteArray(1, '\x03')) port.deliver("\r\nend binary\r\n>>");
    };
    EXPECT_TRUE(link.endBinary());
    EXPECT_EQ(port.inBufferCount(), 0) << "the rest of the answer is discarded";
}

TEST_F(LinkTest, StopPrintsOnlyWhileBusy) {
    link.stopTransfer();
    EXPECT_TRUE(link.isAborting());
    EXPECT_TRUE(host.appended.isEmpty());
    const TransferHold running(link, TransferHold::Kind::Busy);
    link.stopTransfer();
    EXPECT_EQ(host.terminal, "\r\n*** CURRENT FILE TRANSFER ABORTED ***\r\n");
}

TEST_F(LinkTest, ReceivePathShowsDropsZeroBytesAndRestoresEvents) {
    port.deliver(QByteArray("A\0B\r", 4));
    link.onCommEvent();
    EXPECT_EQ(host.terminal, "AB\r\n");
    EXPECT_EQ(port.rThreshold(), 1);
    EXPECT_EQ(host.fieldHistory[FieldActivity], (QStringList{"  RX", "    "}));
}

TEST_F(LinkTest, ReceivePathConsumesWhileSuppressedAndCapturesRawBytes) {
    QByteArray captured;
    link.setCapturing(true);
    link.setCaptureWriter([&](const QByteArray& c) {
        captured += c;
        return c.size();
    });
    const TransferHold quiet(link, TransferHold::Kind::Display);
    port.deliver(QByteArray("x\0y", 3));
    link.onCommEvent();
    EXPECT_TRUE(host.terminal.isEmpty());
    EXPECT_EQ(port.inBufferCount(), 0);
    EXPECT_EQ(captured, QByteArray("x\0y", 3));
}

TEST_F(LinkTest, CapturedBytesAreCountedNotShownAndWhatFollowsTheBlockIsShown) {
    QByteArray captured;
    link.setCapturing(true);
    // A block of 18 bytes: the capture takes what it still wants and ends.
    const QByteArray block = QByteArray("\x01\x02\x03").repeated(6);
    link.setCaptureWriter([&](const QByteArray& c) {
        const qsizetype wanted = std::min<qsizetype>(c.size(), block.size() - captured.size());
        captured += c.first(wanted);
        if (captured.size() == block.size()) link.setCapturing(false);
        return wanted;
    });
    port.deliver(block.first(16));
    link.onCommEvent();
    EXPECT_TRUE(host.terminal.isEmpty());
    // Counted in decimal, like the "Received N bytes." line that ends the capture.
    EXPECT_EQ(host.fields[FieldTask], "Receiving: 16 bytes");
    port.deliver(block.sliced(16) + ">>");
    link.onCommEvent();
    EXPECT_EQ(captured, block);
    EXPECT_EQ(host.terminal, ">>");
}

TEST_F(LinkTest, OtherEventsChangeNothing) {
    port.setCommEvent(3);
    port.deliver("abc");
    link.onCommEvent();
    EXPECT_EQ(port.inBufferCount(), 3);
    EXPECT_TRUE(host.fields.isEmpty());
}

} // namespace
