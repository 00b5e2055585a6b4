#pragma once
// The serial component every byte to and from the console passes through.
//
// Its operations are properties and one event, as an event-driven serial control has: for the
// port number, the line settings, flow control and the receive threshold,
// plus one event, onComm(), raised on the main thread while the receive
// threshold is 1 and bytes are waiting. Transfers switch the event off and read
// the buffer themselves.
#include "FlowControl.h"
#include "LineSettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>

namespace kestrel {

class SerialPort : public QObject {
    Q_OBJECT
public:
    enum CommEventCode { DataReceived = 2 };

    using QObject::QObject;
    ~SerialPort() override = default;

    // Port number: 1 is the first serial port. A refused number returns false
    // and leaves the one in force.
    virtual bool setCommPort(int number) = 0;
    virtual int commPort() const = 0;

    // Settings the port cannot take are refused whole (false) and the ones in
    // force stay.
    virtual bool setSettings(const LineSettings& line) = 0;
    virtual LineSettings settings() const = 0;

    // false when the port cannot take it; the flow control in force stays.
    virtual bool setFlowControl(FlowControl flow) = 0;
    virtual FlowControl flowControl() const = 0;

    // true opens (false when it fails; lastError() says why), false closes.
    // Opening returns once the open has succeeded or failed: a port whose
    // open takes time (a network connection) lets the event loop run
    // meanwhile, so it must not be used from a window. False also ends an
    // open under way, quietly.
    virtual bool setPortOpen(bool open) = 0;
    virtual bool portOpen() const = 0;
    virtual QString lastError() const = 0;

    // Opening without waiting for it: false when the open failed at once
    // (lastError() says why). Otherwise the port is open, or portOpening()
    // is true until opened() or openFailed() is raised from the event loop.
    // A device opens at once; a network port connects in the background.
    virtual bool beginOpen() { return setPortOpen(true); }
    virtual bool portOpening() const { return false; }

    // 1: onComm() is raised whenever bytes arrive; 0: no receive events.
    virtual void setRThreshold(int threshold) = 0;
    virtual int rThreshold() const = 0;

    // Bytes received and not yet read (0 on a closed port).
    virtual int inBufferCount() = 0;
    // 0: the next input() takes every waiting byte; N: at most N of them.
    virtual void setInputLen(int length) = 0;
    virtual QByteArray input() = 0;
    // Queues exactly these bytes, zero bytes included. false when the component
    // reports an error; a closed port drops them and returns true.
    virtual bool output(const QByteArray& bytes) = 0;
    // Bytes queued and not yet handed to the device.
    virtual int outBufferCount() = 0;
    virtual int commEvent() const = 0;

    // Blocking helpers, so waits sleep in the kernel instead of spinning.
    // waitForInput returns once new bytes have arrived or msecs have passed;
    // waitForOutput once the output queue is empty or msecs have passed.
    virtual bool waitForInput(int msecs) = 0;
    virtual bool waitForOutput(int msecs) = 0;

    // The device the port number maps to (or the --port override).
    virtual QString deviceName() const = 0;
    // The device that replaces the port number's own for this session, empty
    // when none does; the port status then names it instead of COMn.
    virtual QString deviceOverride() const { return {}; }
    // Whether the port can leave the device named with --port for the
    // numbered Com ports, and doing so. A network port cannot.
    virtual bool canLeaveDeviceOverride() const { return false; }
    virtual void leaveDeviceOverride() {}

signals:
    // The receive event; see rThreshold.
    void onComm();
    // The open device went away (adapter unplugged, peer hung up); the port is
    // closed by the time this is raised.
    void deviceLost(const QString& reason);
    // A lost device is back at the same path and the port has been reopened
    // with the settings in force. Whatever was running when it went away is
    // not resumed.
    void deviceRestored();
    // An open that was under way (see beginOpen) has succeeded, or failed
    // for the reason given (the same text as lastError()).
    void opened();
    void openFailed(const QString& reason);
    // A remark about the line the user should see once on the terminal (a
    // network port whose remote settings cannot be set, say).
    void notice(const QString& text);
};

} // namespace kestrel
