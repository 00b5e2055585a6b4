#pragma once
// The line to the console's resident monitor: the transmit and receive paths,
// the binary-write and binary-read conversations, and the state every transfer
// shares (busy, abort and display state, the 2048-byte transfer buffer), which
// is taken and given back through TransferHold.
//
// What is said on the line and what the monitor's answers mean is decided by
// a MonitorProtocol; this class writes what it asks to send, feeds it what
// arrives and the time of the host's steady clock, and acts on its events.
// Everything runs on the caller's thread. Waits block on the port with a
// time-out and pump the host's messages at fixed points so the window stays
// live and Stop can be pressed.
#include "Host.h"
#include "LineSettings.h"
#include "MonitorProtocol.h"

#include <QByteArray>

#include <array>
#include <functional>
#include <optional>
#include <span>

namespace kestrel {

class SerialPort;

inline constexpr int FrameSize = 2048;

class MonitorLink {
public:
    MonitorLink(SerialPort& port, Host& host);
    MonitorLink(const MonitorLink&) = delete;
    MonitorLink& operator=(const MonitorLink&) = delete;

    SerialPort& port() { return port_; }
    Host& host() { return host_; }

    // Transfer state. A command takes what it needs with a TransferHold
    // (below); the rest of the program only asks.
    //
    // Busy: a transfer, an auto file or a receive start owns the line, so no
    // second one may start.
    bool isBusy() const { return busyHolds_ > 0; }
    // Received text is kept off the terminal (the monitor's echo of a
    // transfer or of the register commands).
    bool displaySuppressed() const { return quietHolds_ > 0; }
    // Stop was asked for: transfers test this before every frame, auto files
    // before every byte. A transfer or auto file clears it when it starts,
    // so a Stop pressed before it does not count.
    bool isAborting() const { return abortRequested_; }
    void requestAbort();
    void clearAbort() { abortRequested_ = false; }

    // The user's choice: every binary write the monitor has acknowledged and
    // closed with "end binary" is read back and compared with its file.
    bool verifyDownloads() const { return verifyDownloads_; }
    void setVerifyDownloads(bool on) { verifyDownloads_ = on; }

    // The fixed buffer every transfer reads its file through.
    std::span<char, FrameSize> transferBuffer() { return transferBuffer_; }

    // While capturing, the receive path hands every received chunk (zero
    // bytes included) to the capture writer, which returns how many of its
    // bytes went into the capture. Those are not shown (a memory block is
    // binary); the running count goes to the task field instead, and only
    // what follows the block (the monitor's next prompt) reaches the
    // terminal. The writer is installed by whoever owns the capture, for its
    // lifetime; it may end the capture from inside.
    using CaptureWriter = std::function<qsizetype(const QByteArray&)>;
    void setCaptureWriter(CaptureWriter writer) { captureWriter_ = std::move(writer); }
    void setCapturing(bool on) { capturing_ = on; }
    bool isCapturing() const { return capturing_; }

    // Transmit path. Always true: a failing port is reported to the user
    // (once per operation, see Operation), not to the caller.
    bool sendText(const QByteArray& bytes);
    bool sendByte(int byte);
    // The load header of a binary write (MonitorProtocol::loadHeader), a
    // byte a write.
    bool sendLoadHeader(quint32 address, quint32 length);

    // Receive path: the handler of the port's receive event.
    void onCommEvent();

    // The monitor conversation. A wait ends when the answer comes, when the
    // monitor refuses a frame, when the port closes, or once the answer
    // time-out (MonitorProtocol::ResponseTimeout on the steady clock) has
    // passed after the line has carried what was sent.
    //
    // `expected` anywhere in what arrives.
    bool awaitResponse(const QByteArray& expected);
    // The monitor's prompt ">>".
    bool awaitPrompt();
    void discardInput();
    bool beginBinaryWrite();
    bool beginBinaryRead();
    // The load header of a binary read. The monitor answers only once it has
    // the whole header, so whatever is waiting before the last byte goes out
    // is not part of the answer and is dropped. Expects receive events off.
    void sendReadRequest(quint32 address, quint32 length);
    // After sendReadRequest: hands the memory to `take` as it arrives, then
    // waits for the monitor's prompt. Short: a silence of the answer time-out
    // or a closed port before the whole length came.
    enum class MemoryEnd { Complete, Short, Stopped };
    MemoryEnd readMemory(const std::function<void(QByteArrayView)>& take);
    // One frame per 2048 bytes, each once the one before is accepted; false,
    // with "Upload of data failed.", as soon as one is refused or unanswered.
    bool sendBinaryBlocks(const char* data, qint32 length);
    bool endBinary();
    // "sr NAME VALUE\r", typed a byte at a time as a key would.
    void setStartRegister(QByteArrayView name, quint32 value);
    // The monitor's echo of `typed`, which shows it took all of it.
    bool awaitEcho(const QByteArray& typed);
    // The Stop button: requestAbort, and the abort line when a transfer runs.
    void stopTransfer();
    // XON/XOFF flow control takes the bytes 0x11 and 0x13 out of the data: a
    // binary transfer under it is refused with a message naming the fix.
    // True when refused.
    bool refuseBinaryOverXonXoff();

    // One user-level operation (a keystroke, a whole transfer, an auto-file
    // run). A port that fails to send is reported with a message box once per
    // operation; later failures inside it only keep "Comms failure." shown.
    class Operation {
    public:
        explicit Operation(MonitorLink& link);
        ~Operation();
        Operation(const Operation&) = delete;
        Operation& operator=(const Operation&) = delete;

    private:
        MonitorLink& link_;
    };

    // Waits until everything sent has left the computer: the port's own
    // queue is empty and the line has had the time to carry what was handed
    // to it, at the speed and framing of the line settings (a
    // pseudo-terminal or a network connection takes bytes at once and tells
    // nothing of the line behind it). Bounded by the line time of what is
    // still queued plus the answer time-out; messages are pumped meanwhile,
    // and Stop or a lost device ends the wait (a Stop from before it began
    // is forgotten).
    enum class Delivery { Delivered, Stopped, DeviceLost, TimedOut };
    Delivery finishSending();
    // Milliseconds the line still needs for what was sent, rounded up; 0
    // once the monitor has answered everything sent so far.
    qint64 lineTimeLeftMs();

private:
    friend class TransferHold;

    using Event = MonitorProtocol::Event;
    // How the pieces the protocol hands over are written: commands whole,
    // typed commands and load headers a byte a write, a frame as its start
    // byte, its data and its sum; the monitor has always been given them so.
    enum class Writes { Whole, Bytewise, Frame };
    void sendQueued(Writes writes);
    MonitorProtocol::TimePoint now();
    // Feeds the protocol what arrives and the time, from the moment the line
    // has carried what was sent, until `handle` takes an event as the end of
    // the wait, the protocol has nothing left to wait for, the port closes
    // or (when `stoppable`) Stop is asked for. Stoppable waits pump messages
    // throughout; the others only while the line still carries what was sent.
    enum class WaitEnd { Handled, NothingAwaited, PortClosed, Stopped };
    WaitEnd drive(const std::function<bool(const Event&)>& handle, bool stoppable);
    // A wait for one answer: the kind of the event that ended it.
    std::optional<Event::Kind> converse();

    void reportSendFailure();
    void drainOutput();
    // Microseconds the line takes for `bytes` with the settings in force.
    qint64 lineTimeUs(qint64 bytes);

    // When the line will have carried everything sent, in microseconds of
    // the host's steady clock; 0 when nothing is on its way.
    qint64 lineFreeAtUs_ = 0;
    std::optional<LineSettings> lineSettings_; // the settings the two below are for
    qint64 halfBitsPerByte_ = 20;              // start, data, parity and stop bits, twice
    qint64 lineSpeed_ = 9600;

    // Bytes of the current capture so far, for the task field.
    quint64 capturedCount_ = 0;
    bool capturing_ = false;
    CaptureWriter captureWriter_;

    int busyHolds_ = 0;
    int quietHolds_ = 0;
    int lineHolds_ = 0;
    bool abortRequested_ = false;
    bool verifyDownloads_ = false;
    std::array<char, FrameSize> transferBuffer_{};

    MonitorProtocol protocol_;
    SerialPort& port_;
    Host& host_;
    int operationDepth_ = 0;
    bool failureReported_ = false;
};

// What a command holds while it owns the line, released whichever way it
// ends. Holds nest: what an outer hold took stays taken until it ends.
class TransferHold {
public:
    enum class Kind {
        // Busy, the display suppressed and receive events off, so the
        // receive path cannot take the monitor's answers away: a transfer or
        // an auto file.
        Line,
        // Busy and the display suppressed, receive events still on: a
        // command whose dialog is open; takeLine() once it starts sending.
        Quiet,
        // Busy only: the monitor's answers stay on the terminal (the start of
        // a receive).
        Busy,
        // The display suppressed only (the register commands' echo).
        Display,
    };
    explicit TransferHold(MonitorLink& link, Kind kind = Kind::Line);
    ~TransferHold();
    TransferHold(TransferHold&& other) noexcept;
    TransferHold& operator=(TransferHold&&) = delete;
    TransferHold(const TransferHold&) = delete;
    TransferHold& operator=(const TransferHold&) = delete;

    // Receive events off from now on (a Quiet hold whose dialog has closed).
    void takeLine();

private:
    MonitorLink* link_;
    bool busy_ = false;
    bool quiet_ = false;
    bool line_ = false;
};

// Restores the port's receive threshold when it goes out of scope.
class ReceiveEventsOff {
public:
    explicit ReceiveEventsOff(SerialPort& port);
    ~ReceiveEventsOff();
    ReceiveEventsOff(const ReceiveEventsOff&) = delete;
    ReceiveEventsOff& operator=(const ReceiveEventsOff&) = delete;

private:
    SerialPort& port_;
    int saved_;
};

} // namespace kestrel
