// The monitor conversation as wire transcripts: the bytes the core asks to
// send, the bytes the console sends back with the time they arrive, and the
// events each arrival or each look at the clock gives.
#include "MonitorProtocol.h"

#include "Monitor.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

namespace kestrel {

// Readable failures: the kind and the bytes, control bytes in hex.
void PrintTo(const MonitorProtocol::Event& event, std::ostream* os) {
    static const char* const names[] = {"Text",          "Prompt",       "BinaryReady",
                                        "FrameAccepted", "FrameRefused", "EndBinary",
                                        "MemoryBytes",   "TimedOut",     "Answered"};
    *os << names[static_cast<int>(event.kind)];
    if (event.bytes.isEmpty()) return;
    *os << "(\"";
    for (const char c : event.bytes) {
        if (c >= 0x20 && c < 0x7f)
            *os << c;
        else
            *os << "\\x" << QByteArray(1, c).toHex().constData();
    }
    *os << "\")";
}

} // namespace kestrel

namespace {

using namespace kestrel;
using Kind = MonitorProtocol::Event::Kind;
using Event = MonitorProtocol::Event;
using Events = MonitorProtocol::Events;
using State = MonitorProtocol::State;
using TimePoint = MonitorProtocol::TimePoint;

TimePoint at(int ms) {
    return TimePoint{} + std::chrono::milliseconds(ms);
}

Event ev(Kind kind, QByteArray bytes = {}) {
    return {kind, std::move(bytes)};
}
Event text(QByteArray bytes) {
    return ev(Kind::Text, std::move(bytes));
}
Event memory(QByteArray bytes) {
    return ev(Kind::MemoryBytes, std::move(bytes));
}

// A frame as the monitor must see it, with its sum worked out by hand.
QByteArray frameOf(const QByteArray& data, quint8 sum) {
    return '\x02' + data + QByteArray(2048 - data.size(), ' ') + char(sum);
}

// One line of a transcript.
struct Step {
    enum class Op { Out, Drained, In, Poll, Call, Deadline, StateIs };
    Op op;
    int ms = 0;
    QByteArray bytes;
    Events events;
    std::function<void(MonitorProtocol&)> call;
    State state = State::Idle;
};

// The core asks for exactly these bytes next (nothing, when empty).
Step out(QByteArray bytes) {
    return {Step::Op::Out, 0, std::move(bytes), {}, {}};
}
Step drained(int ms) {
    return {Step::Op::Drained, ms, {}, {}, {}};
}
// These bytes arrive at `ms` and give exactly these events.
Step in(int ms, QByteArray bytes, Events events = {}) {
    return {Step::Op::In, ms, std::move(bytes), std::move(events), {}};
}
Step poll(int ms, Events events = {}) {
    return {Step::Op::Poll, ms, {}, std::move(events), {}};
}
Step call(std::function<void(MonitorProtocol&)> fn) {
    return {Step::Op::Call, 0, {}, {}, std::move(fn)};
}
// The deadline is at `ms`; -1: there is none.
Step deadlineAt(int ms) {
    return {Step::Op::Deadline, ms, {}, {}, {}};
}
Step stateIs(State state) {
    Step step{Step::Op::StateIs, 0, {}, {}, {}};
    step.state = state;
    return step;
}

struct Transcript {
    const char* name;
    std::vector<Step> steps;
};

void PrintTo(const Transcript& transcript, std::ostream* os) {
    *os << transcript.name;
}

class Transcripts : public ::testing::TestWithParam<Transcript> {};

TEST_P(Transcripts, Hold) {
    MonitorProtocol protocol;
    int line = 0;
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE("step " + std::to_string(++line));
        switch (step.op) {
        case Step::Op::Out:
            ASSERT_EQ(protocol.nextOutput(), step.bytes);
            break;
        case Step::Op::Drained:
            protocol.outputDrained(at(step.ms));
            break;
        case Step::Op::In:
            ASSERT_EQ(protocol.receive(step.bytes, at(step.ms)), step.events);
            break;
        case Step::Op::Poll:
            ASSERT_EQ(protocol.poll(at(step.ms)), step.events);
            break;
        case Step::Op::Call:
            step.call(protocol);
            break;
        case Step::Op::Deadline:
            if (step.ms < 0)
                EXPECT_EQ(protocol.deadline(), std::nullopt);
            else
                EXPECT_EQ(protocol.deadline(), std::optional(at(step.ms)));
            break;
        case Step::Op::StateIs:
            EXPECT_EQ(protocol.state(), step.state);
            break;
        }
    }
    // Every byte the core wanted sent is in the transcript.
    EXPECT_FALSE(protocol.hasOutput());
}

std::string transcriptName(const ::testing::TestParamInfo<Transcript>& info) {
    return info.param.name;
}

const auto beginWrite = call([](MonitorProtocol& p) { p.beginBinaryWrite(); });
const auto beginRead = call([](MonitorProtocol& p) { p.beginBinaryRead(); });
const auto endWrite = call([](MonitorProtocol& p) { p.endBinary(); });
const Events binaryReady{ev(Kind::BinaryReady)};
const Events accepted{ev(Kind::FrameAccepted)};
const Events refused{ev(Kind::FrameRefused)};
const Events ended{ev(Kind::EndBinary)};
const Events timedOut{ev(Kind::TimedOut)};
const Events prompt{ev(Kind::Prompt)};

Step blocks(const QByteArray& data) {
    return call([data](MonitorProtocol& p) { p.sendBinaryBlocks(data); });
}

// 2049 bytes: a frame of spaces (sum 00), then one of "A" and 2047 spaces
// (sum 21).
const QByteArray twoFrames = QByteArray(2048, ' ') + 'A';

// --- binary write ---------------------------------------------------------

INSTANTIATE_TEST_SUITE_P(
    BinaryWrite, Transcripts,
    ::testing::Values(
        Transcript{"TwoFramesFromCommandToEnd",
                   {beginWrite, out("bwr\r"), drained(10), in(40, "bwr\r\nbinary\r\n", binaryReady),
                    // The rest of the prompt line was dropped with the match.
                    stateIs(State::Binary), in(50, "\r\n"),
                    call([](MonitorProtocol& p) { p.sendLoadHeader(0x80010000, 2049); }),
                    out(QByteArray::fromHex("018001000000000801")), out(""), deadlineAt(-1),
                    blocks(twoFrames), out(frameOf(QByteArray(2048, ' '), 0x00)), out(""),
                    drained(2200), deadlineAt(4200), in(2210, "Y", accepted),
                    // The second frame only once the first is accepted.
                    out(frameOf("A", 0x21)), drained(4400), in(4420, "Y", accepted),
                    stateIs(State::Binary), deadlineAt(-1), out(""), endWrite, out("\x03"),
                    drained(4500), in(4510, "end binary\r\n>>", ended), stateIs(State::Idle),
                    // Outside the conversation the monitor's text is shown again.
                    in(9000, "x\r\n>>", {text("x\r\n>>"), ev(Kind::Prompt)})}},
        Transcript{"FrameOfThreeBytesIsPaddedWithSpaces",
                   {blocks("abc"), out(frameOf("abc", 0xc6)), drained(0), in(5, "Y", accepted)}},
        Transcript{"EmptyDataSendsNoFrame",
                   {blocks(""), out(""), stateIs(State::Binary), deadlineAt(-1), poll(99999)}},
        Transcript{"RefusalIsNoticedWhenItArrives",
                   {blocks(twoFrames), out(frameOf(QByteArray(2048, ' '), 0x00)), drained(1000),
                    in(1300, "N", refused),
                    // No second frame, no time-out left to run out.
                    out(""), deadlineAt(-1), poll(5000), stateIs(State::Binary), endWrite,
                    out("\x03"), drained(5010), in(5020, "end binary", ended)}},
        Transcript{"RefusalBeforeAcceptanceInOneArrivalIsARefusal",
                   {blocks("x"), out(frameOf("x", 0x58)), drained(0), in(5, "NY", refused)}},
        Transcript{"AcceptanceBeforeRefusalInOneArrivalIsAnAcceptance",
                   {blocks(twoFrames), out(frameOf(QByteArray(2048, ' '), 0x00)), drained(0),
                    // The rest that came with the answer is not the next frame's.
                    in(5, "YN", accepted), out(frameOf("A", 0x21)), drained(10),
                    in(20, "Y", accepted)}},
        Transcript{"UnansweredFrameLeavesTheWriteOpenForItsEnd",
                   {blocks(twoFrames), out(frameOf(QByteArray(2048, ' '), 0x00)), drained(100),
                    in(200, "?"), poll(2100, timedOut), out(""), stateIs(State::Binary),
                    // A late answer is no longer one.
                    in(2500, "Y"), endWrite, out("\x03"), drained(2600),
                    in(2700, "end binary", ended)}},
        Transcript{"EndWithoutAPromptBefore",
                   {beginWrite, out("bwr\r"), drained(0), poll(2000, timedOut),
                    stateIs(State::Idle), endWrite, out("\x03"), drained(2010),
                    in(2020, "end binary", ended)}}),
    transcriptName);

// --- what the answers may look like ---------------------------------------

INSTANTIATE_TEST_SUITE_P(
    Answers, Transcripts,
    ::testing::Values(
        Transcript{"EchoTailBeforeThePrompt",
                   {beginWrite, out("bwr\r"), in(1, "\r\n>>"), // the end of the last command's echo
                    in(2, "bw"), in(3, "r\r\nbin"), in(4, "ary", binaryReady)}},
        Transcript{"PromptMatchedWithTextAfterIt",
                   {beginRead, out("brd\r"), in(1, "brd\r\nbinary\r\n>>", binaryReady),
                    stateIs(State::Binary)}},
        Transcript{"ZeroBytesInTheAnswerAreLeftOut",
                   {beginWrite, out("bwr\r"), in(1, QByteArray("b\0wr\r\n\0bin", 10)),
                    in(2, QByteArray("\0ary", 4), binaryReady), blocks("A"),
                    out(frameOf("A", 0x21)), in(3, QByteArray("\0", 1)),
                    in(4, QByteArray("\0Y", 2), accepted), endWrite, out("\x03"),
                    in(5, QByteArray("end\0 binary", 11), ended)}},
        Transcript{"EndBinaryInSplitArrivals",
                   {endWrite, out("\x03"), drained(0), in(10, "e"), in(20, "nd b"), in(30, "inar"),
                    deadlineAt(2000), in(1999, "y\r\n", ended), deadlineAt(-1), poll(9999)}},
        Transcript{"EchoWithoutLineFeedIsNoPrompt",
                   {beginWrite, out("bwr\r"), drained(0), in(10, "bwr\rbinary"), poll(1999),
                    poll(2000, timedOut)}},
        Transcript{
            "PromptOfTheOtherConversationIsNoPrompt",
            {beginRead, out("brd\r"), drained(0), in(10, "bwr\r\nbinary"), poll(2000, timedOut)}},
        Transcript{"AStepEndsTheWaitBeforeIt",
                   {beginWrite, out("bwr\r"), endWrite, out("\x03"), drained(0),
                    in(5, "bwr\r\nbinary"), in(6, "end binary", ended)}}),
    transcriptName);

// --- the time-out -----------------------------------------------------------

INSTANTIATE_TEST_SUITE_P(
    TimeOut, Transcripts,
    ::testing::Values(
        Transcript{"CountsFromTheDrainNotFromTheSend",
                   {beginWrite, deadlineAt(-1),
                    // Still here, so not drained.
                    drained(0), deadlineAt(-1), out("bwr\r"), poll(60000), drained(60000),
                    deadlineAt(62000), poll(61999), poll(62000, timedOut), deadlineAt(-1),
                    poll(99999)}},
        Transcript{"AnAnswerArrivingAtTheDeadlineCounts",
                   {endWrite, out("\x03"), drained(1000), in(3000, "end binary", ended)}},
        Transcript{"OtherBytesAtTheDeadlineEndTheWait",
                   {endWrite, out("\x03"), drained(1000), in(2999, "end "),
                    in(3000, "bin", timedOut), in(3001, "ary", {text("ary")})}},
        Transcript{"ALaterDrainDoesNotMoveTheDeadline",
                   {endWrite, out("\x03"), drained(100), drained(1500), deadlineAt(2100)}},
        Transcript{"OtherBytesDoNotEndTheWait",
                   {beginWrite, out("bwr\r"), drained(0),
                    in(100, "nothing like the awaited answer"), deadlineAt(2000),
                    in(1900, "bwr\r\nbinary", binaryReady)}}),
    transcriptName);

// --- binary read ------------------------------------------------------------

Step readRequest(quint32 address, quint32 length, int ms) {
    return call([=](MonitorProtocol& p) { p.sendReadRequest(address, length, at(ms)); });
}

// The first eight header bytes of a read at address 0 (its length in the ninth).
const QByteArray readHeadAtZero = QByteArray::fromHex("0100000000000000");

INSTANTIATE_TEST_SUITE_P(
    BinaryRead, Transcripts,
    ::testing::Values(
        Transcript{"MemoryInPiecesThenThePrompt",
                   {beginRead, out("brd\r"), drained(5), in(20, "brd\r\nbinary", binaryReady),
                    readRequest(0x80010000, 5, 30), out(QByteArray::fromHex("0180010000000000")),
                    out(""), stateIs(State::HoldingHeader),
                    // Whatever comes before the whole header is out is dropped.
                    in(35, "\r\n"), drained(40), out("\x05"), stateIs(State::ReadingMemory),
                    deadlineAt(-1), drained(41), deadlineAt(2041),
                    in(100, QByteArray("a\0", 2), {memory(QByteArray("a\0", 2))}), deadlineAt(2100),
                    in(200, ">>", {memory(">>")}), in(300, "e\r\n>", {memory("e"), text("\r\n>")}),
                    deadlineAt(2300), in(310, ">", {text(">"), ev(Kind::Prompt)}), deadlineAt(-1),
                    stateIs(State::Idle)}},
        Transcript{"HeldByteGoesAfterTheDrainLimit",
                   {readRequest(1, 2, 1000), out(QByteArray::fromHex("0100000001000000")),
                    deadlineAt(2000), poll(1999), out(""), poll(2000), out("\x02"),
                    in(2100, "xy\r\n>>", {memory("xy"), text("\r\n>>"), ev(Kind::Prompt)})}},
        Transcript{"SilenceInTheMiddleIsReportedAndTheReadGoesOn",
                   {readRequest(0, 4, 0), out(readHeadAtZero), drained(1), out("\x04"), drained(2),
                    in(10, "ab", {memory("ab")}), poll(2009), poll(2010, timedOut), deadlineAt(-1),
                    in(5000, "cd\r\n>>", {memory("cd"), text("\r\n>>"), ev(Kind::Prompt)})}},
        Transcript{"NoPromptAfterTheMemory",
                   {readRequest(0, 1, 0), out(readHeadAtZero), drained(1), out("\x01"),
                    in(500, "z\r\n", {memory("z"), text("\r\n")}), poll(2499), poll(2500, timedOut),
                    stateIs(State::Idle), in(2600, ">>", {text(">>"), ev(Kind::Prompt)})}},
        Transcript{"EmptyReadWaitsForThePromptOnly",
                   {readRequest(0, 0, 0), out(readHeadAtZero), drained(1), out(QByteArray(1, '\0')),
                    stateIs(State::Idle), drained(2), deadlineAt(2002),
                    in(50, "\r\n>>", {text("\r\n>>"), ev(Kind::Prompt)})}},
        Transcript{"StopEndsTheRead",
                   {readRequest(0, 100, 0), out(readHeadAtZero), drained(1), out("d"),
                    in(10, "ab", {memory("ab")}), call([](MonitorProtocol& p) { p.abandon(); }),
                    deadlineAt(-1), in(20, "cd", {text("cd")})}}),
    transcriptName);

// --- outside a conversation -------------------------------------------------

INSTANTIATE_TEST_SUITE_P(
    Idle, Transcripts,
    ::testing::Values(
        Transcript{"TextAndPromptsInOrder",
                   {in(0, "a>>b>>c",
                       {text("a>>"), ev(Kind::Prompt), text("b>>"), ev(Kind::Prompt), text("c")}),
                    in(1, ">", {text(">")}), in(2, "x", {text("x")}), in(3, ">", {text(">")}),
                    deadlineAt(-1)}},
        Transcript{
            "PromptSplitAcrossArrivals",
            {in(0, "ok\r\n>", {text("ok\r\n>")}), in(1, ">", {text(">"), ev(Kind::Prompt)})}},
        Transcript{"ZeroByteBetweenTheTwoMarksIsStillAPrompt",
                   {in(0, QByteArray(">\0>", 3), {text(QByteArray(">\0>", 3)), ev(Kind::Prompt)})}},
        Transcript{"APromptWaitEndsAtThePrompt",
                   {call([](MonitorProtocol& p) { p.awaitPrompt(); }), deadlineAt(-1), drained(100),
                    deadlineAt(2100), in(200, "\r\n>", {text("\r\n>")}),
                    in(300, ">", {text(">"), ev(Kind::Prompt)}), deadlineAt(-1), poll(9999)}},
        Transcript{"APromptWaitTimesOut",
                   {call([](MonitorProtocol& p) { p.awaitPrompt(); }), drained(0),
                    in(10, "> x", {text("> x")}), poll(2000, timedOut),
                    in(3000, ">>", {text(">>"), ev(Kind::Prompt)})}},
        Transcript{
            "RegisterCommandsAndPlainText",
            {call([](MonitorProtocol& p) {
                 p.setStartRegister("epc", 0x80010000);
                 p.setStartRegister("sp", 0);
                 p.sendText(QByteArray("\r\0", 2));
             }),
             out("sr epc 80010000\r"), out("sr sp 0\r"), out(QByteArray("\r\0", 2)), deadlineAt(-1),
             in(5, "sr epc 80010000\r\n>>", {text("sr epc 80010000\r\n>>"), ev(Kind::Prompt)})}}),
    transcriptName);

// --- echoes and other awaited text -------------------------------------------

const Events answered{ev(Kind::Answered)};

INSTANTIATE_TEST_SUITE_P(
    Echo, Transcripts,
    ::testing::Values(
        Transcript{"EchoOfARegisterCommandWithItsLineEnd",
                   {call([](MonitorProtocol& p) {
                        p.setStartRegister("sp", 0x801ff000);
                        p.awaitEcho(MonitorProtocol::registerCommand("sp", 0x801ff000));
                    }),
                    out("sr sp 801ff000\r"), deadlineAt(-1), drained(10), deadlineAt(2010),
                    in(20, "sr sp 801ff0"), in(30, "00\r\n>>", answered), stateIs(State::Idle),
                    deadlineAt(-1), in(40, ">>", {text(">>"), ev(Kind::Prompt)})}},
        Transcript{"EchoWithoutItsLineEndTimesOut",
                   {call([](MonitorProtocol& p) { p.awaitEcho("sr gp 0\r"); }), drained(0),
                    in(5, "sr gp 0\r"), poll(1999), poll(2000, timedOut), stateIs(State::Idle)}},
        Transcript{"EchoOfAnotherCommandIsNoEcho",
                   {call([](MonitorProtocol& p) { p.awaitEcho("sr sp 0\r"); }), drained(0),
                    in(5, "sr gp 0\r\n"), poll(2000, timedOut)}},
        Transcript{"TextAwaitedWithNothingSent",
                   {call([](MonitorProtocol& p) { p.awaitAnswer(">>ok"); }), drained(100),
                    deadlineAt(2100), in(200, QByteArray(">\0>o", 4)), in(300, "k\r\n", answered),
                    stateIs(State::Idle)}}),
    transcriptName);

// --- against the simulator's monitor ----------------------------------------

// The core and the simulator's monitor joined by a line without delay: every
// piece the core sends goes to the monitor a byte at a time, and its answer
// comes back in arrivals of `piece` bytes, as a slow line would cut it.
class Dialogue {
public:
    explicit Dialogue(sim::Faults faults = {}, qsizetype piece = 3)
        : monitor_(std::move(faults)), piece_(piece) {}

    MonitorProtocol protocol;
    Events events;
    sim::Monitor& monitor() { return monitor_; }

    void run() {
        while (protocol.hasOutput()) {
            std::string answer;
            for (const char c : protocol.nextOutput())
                monitor_.receive(static_cast<std::uint8_t>(c), answer);
            now_ += std::chrono::milliseconds(10);
            protocol.outputDrained(now_);
            while (monitor_.sending())
                monitor_.continueSending(answer, 700);
            const QByteArray bytes = QByteArray::fromStdString(answer);
            for (qsizetype at = 0; at < bytes.size(); at += piece_) {
                now_ += std::chrono::milliseconds(1);
                for (Event& event : protocol.receive(bytes.mid(at, piece_), now_))
                    events.push_back(std::move(event));
            }
        }
    }

    // The events of the run so far, MemoryBytes joined into one.
    Events joined() const {
        Events out;
        for (const Event& event : events) {
            if (!out.empty() && out.back().kind == event.kind &&
                (event.kind == Kind::MemoryBytes || event.kind == Kind::Text))
                out.back().bytes += event.bytes;
            else
                out.push_back(event);
        }
        return out;
    }

    // The conversation's own events. The monitor's prompt after "end binary"
    // is dropped with the answer when it comes with it and is Text when it
    // comes after it, as the line cuts it.
    Events conversation() const {
        Events out;
        for (const Event& event : events)
            if (event.kind != Kind::Text && event.kind != Kind::Prompt) out.push_back(event);
        return out;
    }

private:
    sim::Monitor monitor_;
    qsizetype piece_;
    TimePoint now_{};
};

QByteArray pattern(qsizetype size) {
    QByteArray data(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return data;
}

QByteArray memoryOf(const sim::Monitor& monitor, quint32 address, qsizetype size) {
    QByteArray bytes;
    for (qsizetype i = 0; i < size; ++i)
        bytes += static_cast<char>(monitor.memory().read(address + quint32(i)));
    return bytes;
}

TEST(MonitorProtocolDialogue, WriteThenReadBackThroughTheSimulatedMonitor) {
    for (const qsizetype piece : {1, 3, 4096}) {
        SCOPED_TRACE(piece);
        Dialogue d({}, piece);
        const QByteArray data = pattern(5000); // three frames, the last one short
        const quint32 address = 0x80020000;
        d.protocol.beginBinaryWrite();
        d.run();
        d.protocol.sendLoadHeader(address, quint32(data.size()));
        d.protocol.sendBinaryBlocks(data);
        d.run();
        d.protocol.endBinary();
        d.run();
        EXPECT_EQ(d.conversation(),
                  (Events{ev(Kind::BinaryReady), ev(Kind::FrameAccepted), ev(Kind::FrameAccepted),
                          ev(Kind::FrameAccepted), ev(Kind::EndBinary)}));
        EXPECT_EQ(memoryOf(d.monitor(), address, data.size() + 1), data + '\0')
            << "the pad of the last frame is not memory";

        d.events.clear();
        d.protocol.beginBinaryRead();
        d.run();
        d.protocol.sendReadRequest(address, quint32(data.size()), TimePoint{});
        d.run();
        EXPECT_EQ(d.joined(),
                  (Events{ev(Kind::BinaryReady), memory(data), text("\r\n>>"), ev(Kind::Prompt)}));
        EXPECT_EQ(d.protocol.state(), State::Idle);
        EXPECT_EQ(d.protocol.deadline(), std::nullopt);
    }
}

TEST(MonitorProtocolDialogue, RefusedFrameStopsTheBlocksAndTheWriteStillEnds) {
    sim::Faults faults;
    faults.refusedFrames = {2};
    Dialogue d(faults);
    d.protocol.beginBinaryWrite();
    d.run();
    d.protocol.sendLoadHeader(0x1000, 3 * 2048);
    d.protocol.sendBinaryBlocks(pattern(3 * 2048));
    d.run();
    d.protocol.endBinary();
    d.run();
    EXPECT_EQ(d.conversation(), (Events{ev(Kind::BinaryReady), ev(Kind::FrameAccepted),
                                        ev(Kind::FrameRefused), ev(Kind::EndBinary)}));
    EXPECT_EQ(d.monitor().counters().framesAcknowledged, 1u);
    EXPECT_EQ(d.monitor().counters().framesRefused, 1u);
}

TEST(MonitorProtocolDialogue, RegisterCommandSetsTheRegister) {
    Dialogue d;
    d.protocol.setStartRegister("gp", 0x8001f000);
    d.run();
    EXPECT_EQ(d.monitor().registers().at("gp"), 0x8001f000u);
    EXPECT_EQ(d.joined(), (Events{text("sr gp 8001f000\r\n>>"), ev(Kind::Prompt)}));
}

} // namespace
