#pragma once
// The serial component on a real device, built on QSerialPort.
//
// Receive events: onComm() is delivered from the event loop (queued), never
// from inside a call into this object, so a reader that sets rThreshold(0)
// is not interrupted and a handler that pumps messages is not re-entered.
// Setting the threshold back to 1 with bytes already waiting queues one event.
//
// Sending: output() hands bytes to the device at once, as far as it takes
// them; only what it cannot take yet waits in Qt's buffer (outBufferCount()).
//
// Flow control: RTS/CTS with XON/XOFF runs as RTS/CTS alone, since
// QSerialPort has no combined mode; flowControl() still reports the combined one.
//
// Lost device: when the device goes away (adapter unplugged, pseudo-terminal
// hung up) the port reads as closed at once, sends are dropped as on a closed
// port, and from the event loop the device is closed and deviceLost() raised.
// Every second after that the component looks for a device at the same path
// and, once one is there, reopens it with the settings in force and raises
// deviceRestored(). Closing or opening the port by hand ends the watch.
#include "LineSettings.h"
#include "ReconnectLoop.h"
#include "SerialPort.h"

#include <QSerialPort>

namespace kestrel {

class QtSerialPortComponent : public SerialPort {
    Q_OBJECT
public:
    explicit QtSerialPortComponent(QObject* parent = nullptr);
    ~QtSerialPortComponent() override;

    // Port numbers 1-255 (see DeviceMap.h); refused while the port is open.
    bool setCommPort(int number) override;
    int commPort() const override { return commPort_; }
    // On Linux 1.5 stop bits are refused (termios cannot do them). While the port is open the
    // device must take the new settings too, or nothing changes.
    bool setSettings(const LineSettings& line) override;
    LineSettings settings() const override { return line_; }
    bool setFlowControl(FlowControl flow) override;
    FlowControl flowControl() const override { return flow_; }

    bool setPortOpen(bool open) override;
    bool portOpen() const override;
    // Why the last open failed (or why the device was lost), in words the
    // user can act on.
    QString lastError() const override { return lastError_; }

    // An event is raised once at least `threshold` bytes are waiting; 0 turns
    // events off. The program uses 0 and 1.
    void setRThreshold(int threshold) override;
    int rThreshold() const override { return rThreshold_; }

    int inBufferCount() override;
    void setInputLen(int length) override { inputLen_ = length; }
    QByteArray input() override;
    bool output(const QByteArray& bytes) override;
    int outBufferCount() override;
    int commEvent() const override { return commEvent_; }

    bool waitForInput(int msecs) override;
    bool waitForOutput(int msecs) override;

    QString deviceName() const override;
    QString deviceOverride() const override { return deviceOverride_; }
    bool canLeaveDeviceOverride() const override { return true; }
    void leaveDeviceOverride() override { deviceOverride_.clear(); }
    // Opens `device` (a path such as /dev/ttyACM0 or a pseudo-terminal) in
    // place of the port number's device for the rest of the session; empty
    // goes back to the port number. Takes effect at the next open.
    void setDeviceOverride(const QString& device) { deviceOverride_ = device; }

    // How often a lost device is looked for (1 s unless a test shortens it).
    void setReconnectInterval(int msecs) { reconnect_.setInterval(msecs); }
    bool isWatchingForDevice() const { return reconnect_.isActive(); }

    // The message for a device the user may not open: names the group that
    // owns it, so the fix is obvious.
    static QString permissionDeniedReason(const QString& path);

private:
    bool openDevice();
    bool applyLine(const LineSettings& line);
    void pullFromDevice();
    qint64 driverQueue() const;
    void queueCommEvent();
    void deliverCommEvent();
    void onError(QSerialPort::SerialPortError error);
    // Whether the device reports a hang-up or an error right now.
    bool lineHasFailed();
    void noticeLoss(const QString& reason);
    void finishLoss();
    ReconnectLoop::Attempt lookForDevice();
    QString describeOpenFailure(const QString& path) const;
    qint64 writeNow(const char* data, qint64 size);
    // Checks that the path is a terminal device and locks it on a descriptor
    // of our own, before Qt's open touches the line settings.
    bool claimDevice(const QString& path);
    void closeDevice();

    QSerialPort serial_;
    ReconnectLoop reconnect_;
    int commPort_ = 1;
    LineSettings line_;
    FlowControl flow_ = FlowControl::None;
    int rThreshold_ = 0;
    int inputLen_ = 0;
    int commEvent_ = 0;
    QString lastError_;
    QString deviceOverride_;
    bool lost_ = false;
    bool commQueued_ = false;
    int claimFd_ = -1;
};

} // namespace kestrel
