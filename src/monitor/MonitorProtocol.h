#pragma once
// The monitor conversation without any I/O: the caller feeds it the bytes the
// console sent and the time, takes from it the bytes to send, and reads back
// what happened as events. It has no port, no host and no clock; every time
// is passed in on the caller's monotonic clock.
//
// States, and what received bytes mean in each:
//
//   Idle           Text, each ">>" also a Prompt. A prompt wait (awaitPrompt,
//                  or the end of a binary read) has a deadline: TimedOut if no
//                  ">>" came by then.
//   AwaitResponse  a step's answer ("bwr\r\nbinary", "brd\r\nbinary", "Y",
//                  "end binary", a command's echo), matched anywhere in what
//                  came since the step began, zero bytes left out. A match
//                  gives BinaryReady (-> Binary), FrameAccepted (-> the next
//                  frame, or Binary), EndBinary or Answered (-> Idle), and the
//                  rest of what came with it is dropped. An 'N' before the "Y" of a frame is
//                  FrameRefused at once (-> Binary). No match by the
//                  deadline: TimedOut (-> Binary after a frame, else Idle).
//   Binary         between the steps of a binary conversation: dropped.
//   HoldingHeader  a binary read's header is out but for its last byte,
//                  which waits until the rest has left (or HeaderDrainLimit):
//                  dropped, as the monitor answers only the whole header.
//   ReadingMemory  the next bytes up to the length asked for are MemoryBytes,
//                  whatever they are (-> Idle with a prompt wait). A silence
//                  of ResponseTimeout is TimedOut; the read goes on until the
//                  caller abandons it.
//
// A step starts a wait of its own and ends any other in progress, as each
// step of the conversation follows the one before. The deadline of a wait is
// measured from outputDrained, the moment the caller says everything handed
// over has left the computer, so it covers the monitor's reaction and not the
// line time; until then a wait has no deadline. After any call the caller
// sends what nextOutput gives and re-arms its timer for deadline().
#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <chrono>
#include <deque>
#include <optional>
#include <vector>

namespace kestrel {

class MonitorProtocol {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    // How long the monitor has to answer once the question has left.
    static constexpr std::chrono::milliseconds ResponseTimeout{2000};
    // The longest a binary read's last header byte is held back for the rest
    // of the header to leave: enough for eight bytes at the slowest speed.
    static constexpr std::chrono::milliseconds HeaderDrainLimit{1000};
    static constexpr qsizetype FrameDataSize = 2048;

    struct Event {
        enum class Kind {
            Text,          // bytes printed outside a conversation (bytes)
            Prompt,        // the monitor's prompt ">>"
            BinaryReady,   // the monitor answered "bwr" or "brd" with "binary"
            FrameAccepted, // "Y" after a frame
            FrameRefused,  // "N" after a frame; the rest of the blocks is not sent
            EndBinary,     // "end binary" after 0x03
            MemoryBytes,   // bytes of memory a binary read asked for (bytes)
            TimedOut,      // the awaited answer did not come in time
            Answered,      // the text of awaitAnswer or awaitEcho came
        };
        Kind kind;
        QByteArray bytes;
        bool operator==(const Event&) const = default;
    };
    using Events = std::vector<Event>;

    enum class State { Idle, AwaitResponse, Binary, HoldingHeader, ReadingMemory };
    State state() const { return state_; }

    // --- steps of the conversation, each queueing what it sends ---------

    // "bwr\r", then the wait for "bwr\r\nbinary".
    void beginBinaryWrite();
    // "brd\r", then the wait for "brd\r\nbinary".
    void beginBinaryRead();
    // The load header of a binary write: 0x01, address and length, each
    // most significant byte first. No answer is awaited.
    void sendLoadHeader(quint32 address, quint32 length);
    // The frames of `data`, one after the other, each sent once the one
    // before is accepted: 0x02, 2048 bytes (the last frame padded with
    // spaces) and their sum modulo 256. Empty data sends nothing.
    void sendBinaryBlocks(QByteArrayView data);
    // 0x03, then the wait for "end binary"; from any state, as a write is
    // closed also after a refusal, a time-out or Stop.
    void endBinary();
    // The load header of a binary read, its last byte held back (see
    // HoldingHeader); `now` is when the caller starts sending it. Then
    // `length` bytes of memory, then the prompt.
    void sendReadRequest(quint32 address, quint32 length, TimePoint now);
    // The wait for ">>", back in Idle.
    void awaitPrompt();
    // "sr NAME VALUE\r": the value in lower-case hexadecimal. Nothing is
    // awaited; the echo is Text.
    void setStartRegister(QByteArrayView name, quint32 value);
    // The wait for `expected` anywhere in what comes.
    void awaitAnswer(QByteArrayView expected);
    // The wait for the echo of `typed`: the monitor echoes every byte it
    // takes, a CR as CR LF.
    void awaitEcho(QByteArrayView typed);
    // Bytes with no answer awaited (a line end, a lone 0x03).
    void sendText(QByteArrayView bytes);
    // Stop: back to Idle, no wait, nothing held back.
    void abandon();

    // --- the caller's side of the line -----------------------------------

    bool hasOutput() const { return !output_.empty(); }
    // The next command, header, frame or byte to send, whole; empty when
    // there is none.
    QByteArray nextOutput();
    // Everything taken with nextOutput has left the computer.
    void outputDrained(TimePoint now);
    // Bytes the console sent, received at `now`.
    Events receive(QByteArrayView bytes, TimePoint now);
    // The time has come to `now`: a deadline may have passed.
    Events poll(TimePoint now);
    // When poll next has something to do, if ever.
    std::optional<TimePoint> deadline() const;

    // The 9 bytes of a load header: 0x01, the address and the length, each
    // most significant byte first.
    static QByteArray loadHeader(quint32 address, quint32 length);
    // "sr NAME VALUE\r", the value in lower-case hexadecimal.
    static QByteArray registerCommand(QByteArrayView name, quint32 value);
    // One whole frame of at most 2048 data bytes.
    static QByteArray frame(QByteArrayView data);

private:
    void startWait(State state, QByteArrayView expected, Event::Kind onMatch);
    void queue(QByteArray bytes);
    void queueNextFrame();
    void releaseHeader();
    void startClosingPrompt(std::optional<TimePoint> from);
    void checkDeadline(TimePoint now, Events& events);
    void receiveIdle(QByteArrayView bytes, Events& events);
    void receiveAnswer(QByteArrayView bytes, Events& events);
    void receiveMemory(QByteArrayView bytes, TimePoint now, Events& events);

    State state_ = State::Idle;
    std::deque<QByteArray> output_;

    // The wait in progress: its expected text, the event of its match, the
    // tail of what came that could still begin a match.
    QByteArray expected_;
    Event::Kind onMatch_ = Event::Kind::Text;
    QByteArray collected_;
    // Idle: waiting for a prompt with a deadline; a '>' came last.
    bool promptWait_ = false;
    bool promptHalf_ = false;
    // The deadline is armed at the next outputDrained.
    bool armOnDrain_ = false;
    std::optional<TimePoint> deadline_;

    QByteArray blocks_; // frames of sendBinaryBlocks not yet sent
    char heldByte_ = 0;
    quint32 memoryLeft_ = 0;
};

} // namespace kestrel
