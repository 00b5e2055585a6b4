#include "MonitorLink.h"
#include "FakeSerialPort.h"
#include "LineText.h"
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

// A refused frame ends its wait when the refusal arrives, not when the
// answer time-out runs out, whether the refusal comes while the frame is
// still on the line or after it has crossed.
TEST_F(LinkTest, RefusedFrameFailsWhenTheRefusalArrives) {
    const struct {
        const char* settings;
        qint64 refusalAfterMs; // from the frame's hand-over
    } cases[] = {{"115200,n,8,1", 3}, {"9600,n,8,1", 5}, {"2400,n,8,1", 8542 + 100}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        port.writes.clear();
        host.messages.clear();
        ASSERT_TRUE(port.setSettings(line(c.settings)));
        port.responder = [&](const QByteArray& w) {
            if (port.writes.size() == 3 && w.size() == 1) port.deliver("N", c.refusalAfterMs);
        };
        const QByteArray data(5000, 'x');
        const qint64 start = clock.nowMs();
        EXPECT_FALSE(link.sendBinaryBlocks(data.constData(), 5000));
        EXPECT_EQ(clock.nowMs() - start, c.refusalAfterMs);
        EXPECT_EQ(port.writes.size(), 3) << "nothing after the refused frame";
        EXPECT_EQ(host.messages, QStringList{"Upload of data failed."});
        // The next frame is a conversation of its own: the refusal's line
        // time is not charged to it.
        port.responder = nullptr;
        clock.advanceMs(10000);
    }
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

// The answer time-out has one length, 2 seconds on the host's steady clock,
// wherever in a second of the time of day the wait starts. The host offers
// no time of day at all, so setting the clock forward or back cannot
// shorten or stretch it either.
struct TimeOutCase {
    const char* name;
    qint64 phaseMs; // into the second the wait starts at
    friend void PrintTo(const TimeOutCase& c, std::ostream* os) { *os << c.name; }
};

class TimeOutTable : public ::testing::TestWithParam<TimeOutCase> {};

TEST_P(TimeOutTable, LastsTwoSecondsOfTheSteadyClock) {
    const auto& c = GetParam();
    TestClock clock{true};
    clock.advanceMs((c.phaseMs - clock.nowMs() % 1000 + 1000) % 1000);
    RecorderHost host(clock);
    FakeSerialPort port(clock);
    MonitorLink link(port, host);
    const qint64 start = clock.nowMs();
    EXPECT_FALSE(link.awaitResponse("bwr\r\nbinary"));
    EXPECT_EQ(clock.nowMs() - start, 2000);
}

const TimeOutCase timeOutCases[] = {
    {"AtTheStartOfASecond", 0},
    {"InTheMiddleOfASecond", 500},
    {"AtTheEndOfASecond", 999},
};

INSTANTIATE_TEST_SUITE_P(WallClock, TimeOutTable, ::testing::ValuesIn(timeOutCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The monitor answers a frame only once all of it has crossed the line. A
// port that takes the frame at once (a pseudo-terminal, a network connection)
// has nothing left in its queue while the line still carries it, so the
// 2-second time-out starts when the line has had time to carry the 2050
// bytes (10 bits a byte at n,8,1): 8542 ms at 2400, 4271 ms at 4800, 2136 ms
// at 9600, 178 ms at 115200. An answer that comes sooner is taken at once.
struct LineCase {
    const char* name;
    const char* settings;
    qint64 answerAfterMs; // from the frame's hand-over; -1: never
    bool matches;
    qint64 minWaitMs; // on the fake clock
    qint64 maxWaitMs;
    friend void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }
};

class FrameAnswerTable : public LinkTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(FrameAnswerTable, TimeOutStartsWhenTheFrameHasLeft) {
    const auto& c = GetParam();
    ASSERT_TRUE(port.setSettings(line(c.settings)));
    port.responder = [&](const QByteArray& w) {
        if (port.writes.size() == 3 && w.size() == 1 && c.answerAfterMs >= 0)
            port.deliver("Y", c.answerAfterMs);
    };
    const qint64 start = clock.nowMs();
    EXPECT_EQ(link.sendBinaryBlocks("abc", 3), c.matches);
    const qint64 waited = clock.nowMs() - start;
    EXPECT_GE(waited, c.minWaitMs);
    EXPECT_LE(waited, c.maxWaitMs);
    EXPECT_EQ(port.rThreshold(), 1) << "receive events restored";
}

const LineCase lineCases[] = {
    {"AnswerAfterTheLineTimeAt2400", "2400,n,8,1", 8542 + 1900, true, 10442, 10442},
    {"SilenceAt2400", "2400,n,8,1", -1, false, 8542 + 2000, 8542 + 3000 + 250},
    {"AnswerAfterTheLineTimeAt4800", "4800,n,8,1", 4271 + 1900, true, 6171, 6171},
    {"SilenceAt4800", "4800,n,8,1", -1, false, 4271 + 2000, 4271 + 3000 + 250},
    // Parity and two stop bits: 12 bits a byte, 5125 ms for the frame.
    {"AnswerAfterTheLineTimeAt4800E82", "4800,e,8,2", 5125 + 1900, true, 7025, 7025},
    {"AnswerAfterTheLineTimeAt9600", "9600,n,8,1", 2136 + 1900, true, 4036, 4036},
    {"EarlyAnswerAt9600IsTakenAtOnce", "9600,n,8,1", 5, true, 5, 5},
    {"SilenceAt115200", "115200,n,8,1", -1, false, 178 + 2000, 178 + 3000 + 250},
    {"EarlyAnswerAt115200IsTakenAtOnce", "115200,n,8,1", 1, true, 1, 1},
};

INSTANTIATE_TEST_SUITE_P(Speeds, FrameAnswerTable, ::testing::ValuesIn(lineCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Before a command reports how it went, everything it sent must have left:
// the port's own queue empty and the line time of what was handed over
// passed. The wait is bounded by that line time plus the answer time-out.
struct DeliveryCase {
    const char* name;
    qsizetype sentBytes; // handed over at 9600,n,8,1 (960 bytes a second)
    bool frameAnswered;  // a frame the monitor acknowledged went first
    int heldBack;        // bytes the port's queue never sends
    bool closeOnPump;    // the device goes away during the wait
    bool stopOnPump;     // Stop (Ctrl-C) during the wait
    bool stoppedBefore;  // Stop ended the command before the wait
    MonitorLink::Delivery expected;
    qint64 minWaitMs;
    qint64 maxWaitMs;
    friend void PrintTo(const DeliveryCase& c, std::ostream* os) { *os << c.name; }
};

class DeliveryTable : public LinkTest, public ::testing::WithParamInterface<DeliveryCase> {};

TEST_P(DeliveryTable, FinishSendingWaitsUntilEverythingHasLeft) {
    const auto& c = GetParam();
    using D = MonitorLink::Delivery;
    if (c.frameAnswered) {
        port.responder = [&](const QByteArray& w) {
            if (port.writes.size() == 3 && w.size() == 1) port.deliver("Y", 10);
        };
        ASSERT_TRUE(link.sendBinaryBlocks("abc", 3));
        port.responder = nullptr;
    }
    if (c.sentBytes > 0) link.sendText(QByteArray(c.sentBytes, 'l'));
    port.heldBack = c.heldBack;
    if (c.stoppedBefore) link.requestAbort();
    host.onPump = [&] {
        if (c.closeOnPump) port.setPortOpen(false);
        if (c.stopOnPump) link.requestAbort();
    };
    const qint64 start = clock.nowMs();
    EXPECT_EQ(link.finishSending(), c.expected);
    const qint64 waited = clock.nowMs() - start;
    EXPECT_GE(waited, c.minWaitMs);
    EXPECT_LE(waited, c.maxWaitMs);
    if (c.expected == D::Delivered) {
        EXPECT_EQ(link.lineTimeLeftMs(), 0);
    }
}

using Delivery = MonitorLink::Delivery;
const DeliveryCase deliveryCases[] = {
    {"NothingSentReturnsAtOnce", 0, false, 0, false, false, false, Delivery::Delivered, 0, 0},
    {"WaitsForTheLineTime", 960, false, 0, false, false, false, Delivery::Delivered, 1000,
     1000 + 250},
    // The acknowledgement proves the frame arrived: only what followed it
    // is waited for, however fast the frames went.
    {"AnsweredFrameIsNotWaitedFor", 0, true, 0, false, false, false, Delivery::Delivered, 0, 0},
    {"WhatFollowsAnAnsweredFrame", 288, true, 0, false, false, false, Delivery::Delivered, 300,
     300 + 250},
    // 500 bytes at 9600 take 521 ms; with the answer time-out, 2521 ms.
    {"QueueThatNeverMovesTimesOut", 0, false, 500, false, false, false, Delivery::TimedOut, 2521,
     2521 + 250},
    {"DeviceGoneWhileWaiting", 960, false, 0, true, false, false, Delivery::DeviceLost, 0, 250},
    {"StopEndsTheWait", 960, false, 0, false, true, false, Delivery::Stopped, 0, 250},
    // The stopped command's ending still goes out.
    {"StopFromBeforeIsForgotten", 960, false, 0, false, false, true, Delivery::Delivered, 1000,
     1000 + 250},
};

INSTANTIATE_TEST_SUITE_P(Ending, DeliveryTable, ::testing::ValuesIn(deliveryCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
