#pragma once
// The serial component on a serial line served over the network: a TCP
// connection to ser2net, a device server or an emulator, named
// "rfc2217://HOST:PORT" or "tcp://HOST:PORT" (see NetworkAddress.h).
//
// It keeps every promise of the device implementation: exact bytes, receive
// events from the event loop, blocking waits in the kernel, deviceLost() when
// the connection drops and deviceRestored() once the server takes a new one
// (looked for every second). A server that turns a connection away (ser2net
// when another client has the port) says why and closes it at once: the open
// fails with its words, and a reconnect keeps looking.
//
// Opening is a connection being made: beginOpen() starts it and returns, the
// port reads as opening (not open: nothing is sent or received) through the
// connect (at most 5 s), the answer to COM port control (at most 1 s) and
// the short watch for a server's refusal, and opened() or openFailed() ends
// it. setPortOpen(false) meanwhile ends it without a word.
//
// RFC 2217: the line settings and flow control are sent to the remote port
// when the connection opens and whenever they change while it is open. A
// server that refuses COM port control still carries the data as a Telnet
// binary stream; notice() says once that the remote settings could not be
// set. Raw TCP sends the data as it is and the settings nowhere; notice()
// says so once when the user changes them.
#include "LineSettings.h"
#include "NetworkAddress.h"
#include "ReconnectLoop.h"
#include "SerialPort.h"
#include "TelnetCodec.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

namespace kestrel {

class NetworkSerialPort : public SerialPort {
    Q_OBJECT
public:
    explicit NetworkSerialPort(const NetworkAddress& address, const QString& name,
                               QObject* parent = nullptr);
    ~NetworkSerialPort() override;

    // Kept for the stored profile; the name decides where the port connects.
    bool setCommPort(int number) override;
    int commPort() const override { return commPort_; }
    bool setSettings(const LineSettings& line) override;
    LineSettings settings() const override { return line_; }
    bool setFlowControl(FlowControl flow) override;
    FlowControl flowControl() const override { return flow_; }

    bool setPortOpen(bool open) override;
    bool portOpen() const override { return state_ == State::Open; }
    bool beginOpen() override;
    bool portOpening() const override;
    QString lastError() const override { return lastError_; }

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

    QString deviceName() const override { return name_; }
    // The port status names the connection, as it names a device given by
    // path.
    QString deviceOverride() const override { return name_; }

    const NetworkAddress& address() const { return address_; }
    // Whether the server took COM port control (RFC 2217 only).
    bool remoteSettingsAccepted() const;

    void setReconnectInterval(int msecs) { reconnect_.setInterval(msecs); }
    void setConnectTimeout(int msecs) { connectTimeoutMs_ = msecs; }
    bool isWatchingForServer() const { return reconnect_.isActive(); }

private:
    // Closed; a connection being made; made, with the Telnet negotiation and
    // the watch for a refusal under way; open; dropped, the close to follow
    // from the event loop.
    enum class State { Closed, Connecting, Starting, Open, Lost };
    // Whom a connection being made is for: the user's open or the reconnect
    // loop, which is told quietly.
    enum class Purpose { Open, Reconnect };

    void close();
    void startConnect(Purpose purpose);
    void onConnected();
    void watchForRefusal();
    void onStartingInput();
    void onStartTimeout();
    void failAttempt(const QString& connectFailure);
    void concludeAttempt(bool succeeded, const QString& reason);
    void takeReceived();
    void sendRaw(const QByteArray& wire);
    void sendSettings();
    void afterNegotiation();
    int available() const { return static_cast<int>(in_.size() - inPos_); }
    void queueCommEvent();
    void deliverCommEvent();
    void queueNotice(const QString& text);
    void onSocketError(QAbstractSocket::SocketError error);
    void noticeLoss(const QString& reason);
    void finishLoss();
    QString describeConnectFailure(QAbstractSocket::SocketError error) const;

    NetworkAddress address_;
    QString name_;
    QTcpSocket socket_;
    TelnetCodec codec_;
    ReconnectLoop reconnect_;
    // The connect time-out, then the time-outs of the session's start.
    QTimer connectDeadline_;
    QTimer startPhase_;
    QByteArray in_;
    qsizetype inPos_ = 0;
    int commPort_ = 1;
    LineSettings line_;
    FlowControl flow_ = FlowControl::None;
    int rThreshold_ = 0;
    int inputLen_ = 0;
    int commEvent_ = 0;
    int connectTimeoutMs_ = 5000;
    // How long the last connection took to make, and the clock of one being made.
    qint64 connectMs_ = 0;
    QElapsedTimer connecting_;
    QString lastError_;
    State state_ = State::Closed;
    Purpose purpose_ = Purpose::Open;
    // Whether the start is waiting for the answer to COM port control (else
    // for a refusal), and whether its outcome is already on its way.
    bool awaitingComPort_ = false;
    bool concluding_ = false;
    // Counts connections begun and ended, so an outcome queued for one that
    // has since been ended or replaced is dropped.
    quint64 attempt_ = 0;
    // The loop of setPortOpen(true) waiting for the outcome, if any.
    QEventLoop* openWait_ = nullptr;
    bool commQueued_ = false;
    bool settingsSent_ = false;
    bool refusalSaid_ = false;
    bool rawSettingsSaid_ = false;
    bool everOpened_ = false;
};

} // namespace kestrel
