#pragma once
// The line to the console's resident monitor: the transmit and receive paths,
// the binary-write and binary-read conversations, and the state every transfer
// shares (busy, abort and display flags, the 2048-byte transfer buffer).
//
// Everything runs on the caller's thread. Waits block on the port with a
// time-out and pump the host's messages at fixed points so the window stays
// live and Stop can be pressed.
#include "Host.h"

#include <QByteArray>

#include <array>
#include <functional>

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

    // Shared state of the transfers.
    bool transferBusy = false;
    bool abortRequested = false;
    bool displaySuppressed = false;
    std::array<char, FrameSize> transferBuffer{};

    // While set, the receive path hands every received chunk (zero bytes
    // included) to captureWriter, which returns how many of its bytes went
    // into the capture. Those are not shown (a memory block is binary); the
    // running count goes to the task field instead, and only what follows
    // the block (the monitor's next prompt) reaches the terminal.
    bool captureReceived = false;
    std::function<qsizetype(const QByteArray&)> captureWriter;

    // Transmit path. Always true: a failing port is reported to the user
    // (once per operation, see Operation), not to the caller.
    bool sendText(const QByteArray& bytes);
    bool sendByte(int byte);
    bool sendLoadHeader(quint32 first, quint32 second);

    // Receive path: the handler of the port's receive event.
    void onCommEvent();

    // The monitor conversation.
    bool awaitResponse(const QByteArray& expected);
    void discardInput();
    bool beginBinaryWrite();
    bool beginBinaryRead();
    bool sendBinaryBlocks(const char* data, qint32 length);
    bool endBinary();
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

    // Seconds the conversation waits for an answer, counted on the host's
    // whole-second clock (so a wait lasts 2 to 3 seconds).
    static constexpr int ResponseTimeoutSeconds = 2;

private:
    void reportSendFailure();
    void drainOutput();

    // Bytes of the current capture so far, for the task field.
    quint64 capturedCount_ = 0;

    SerialPort& port_;
    Host& host_;
    int operationDepth_ = 0;
    bool failureReported_ = false;
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
