#include "NetworkSerialPort.h"

#include "DeviceMap.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QScopedValueRollback>
#include <QThread>

#include <algorithm>

namespace kestrel {

namespace {
// How long an open waits for the server's answer to COM port control, so
// the remote line is set before the first byte goes out.
constexpr int NegotiationMs = 1000;
// A server that turns a connection away (ser2net when another client has
// the port) says why and closes it at once. The open waits for that for
// twice the time the connection took to make, within these bounds.
constexpr qint64 LeastRefusalWaitMs = 50;
constexpr qint64 MostRefusalWaitMs = 1000;

// What the server said before it closed the connection, as one line of
// text: its control characters are not passed on to the user's terminal.
QString refusalText(const QByteArray& said) {
    QString text = QString::fromUtf8(said.left(200));
    for (QChar& c : text)
        if (!c.isPrint()) c = u' ';
    return text.simplified();
}
} // namespace

NetworkSerialPort::NetworkSerialPort(const NetworkAddress& address, const QString& name,
                                     QObject* parent)
    : SerialPort(parent), address_(address), name_(name), reconnect_([this] {
          startConnect(Purpose::Reconnect);
          return ReconnectLoop::Attempt::Pending;
      }) {
    connect(&socket_, &QTcpSocket::readyRead, this, [this] {
        if (state_ == State::Starting) onStartingInput();
        if (!portOpen()) return;
        takeReceived();
        if (rThreshold_ > 0 && available() > 0) queueCommEvent();
    });
    connect(&socket_, &QTcpSocket::errorOccurred, this, &NetworkSerialPort::onSocketError);
    connect(&socket_, &QTcpSocket::disconnected, this, [this] {
        if (state_ == State::Starting) failAttempt({});
        if (portOpen()) noticeLoss(tr("the server closed the connection"));
    });
    connect(&socket_, &QTcpSocket::connected, this, &NetworkSerialPort::onConnected);
    connect(&reconnect_, &ReconnectLoop::restored, this, &SerialPort::deviceRestored);
    connectDeadline_.setSingleShot(true);
    connect(&connectDeadline_, &QTimer::timeout, this, [this] {
        if (state_ != State::Connecting) return;
        concludeAttempt(false, describeConnectFailure(QAbstractSocket::SocketTimeoutError));
        socket_.abort();
    });
    startPhase_.setSingleShot(true);
    connect(&startPhase_, &QTimer::timeout, this, &NetworkSerialPort::onStartTimeout);
}

NetworkSerialPort::~NetworkSerialPort() {
    socket_.disconnect(this);
    ++attempt_;
    socket_.abort();
}

bool NetworkSerialPort::setCommPort(int number) {
    if (!isValidCommPort(number) || portOpen()) return false;
    commPort_ = number;
    return true;
}

bool NetworkSerialPort::setSettings(const LineSettings& line) {
    // The parity letter's case counts as a change too: it is what the user sees.
    const bool changed = line.text() != line_.text();
    line_ = line;
    if (changed && address_.protocol == NetworkAddress::Protocol::RawTcp && everOpened_ &&
        !rawSettingsSaid_) {
        rawSettingsSaid_ = true;
        queueNotice(tr("%1 is a raw TCP connection: the line settings are not sent anywhere; "
                       "set them on the server")
                        .arg(name_));
    }
    if (changed && portOpen()) sendSettings();
    return true;
}

bool NetworkSerialPort::setFlowControl(FlowControl flow) {
    const bool changed = flow != flow_;
    flow_ = flow;
    if (changed && portOpen()) sendSettings();
    return true;
}

bool NetworkSerialPort::remoteSettingsAccepted() const {
    return address_.protocol == NetworkAddress::Protocol::Rfc2217 &&
           codec_.comPort() == TelnetCodec::ComPort::Accepted;
}

bool NetworkSerialPort::setPortOpen(bool open) {
    if (!open) {
        close();
        return true;
    }
    if (!beginOpen()) return false;
    if (portOpening()) {
        QEventLoop outcome;
        connect(this, &SerialPort::opened, &outcome, &QEventLoop::quit);
        connect(this, &SerialPort::openFailed, &outcome, &QEventLoop::quit);
        const QScopedValueRollback waiting(openWait_, &outcome);
        outcome.exec();
    }
    return portOpen();
}

bool NetworkSerialPort::beginOpen() {
    if (state_ == State::Lost) close();
    reconnect_.stop();
    if (portOpen() || portOpening()) return true;
    startConnect(Purpose::Open);
    return true;
}

bool NetworkSerialPort::portOpening() const {
    return purpose_ == Purpose::Open && (state_ == State::Connecting || state_ == State::Starting);
}

void NetworkSerialPort::close() {
    reconnect_.stop();
    connectDeadline_.stop();
    startPhase_.stop();
    ++attempt_;
    // What is still queued goes out before the connection is closed.
    if (state_ == State::Open && socket_.state() == QAbstractSocket::ConnectedState &&
        socket_.bytesToWrite() > 0)
        socket_.waitForBytesWritten(1000);
    socket_.abort();
    state_ = State::Closed;
    if (openWait_) openWait_->quit();
}

void NetworkSerialPort::startConnect(Purpose purpose) {
    socket_.abort();
    ++attempt_;
    purpose_ = purpose;
    state_ = State::Connecting;
    concluding_ = false;
    connecting_.start();
    connectDeadline_.start(connectTimeoutMs_);
    socket_.connectToHost(address_.host, address_.port);
}

QString NetworkSerialPort::describeConnectFailure(QAbstractSocket::SocketError error) const {
    const QString where = QStringLiteral("%1:%2").arg(address_.host).arg(address_.port);
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return tr("Connection refused by %1: is the server running and the port right?").arg(where);
    case QAbstractSocket::HostNotFoundError:
        return tr("Host not found: %1").arg(address_.host);
    case QAbstractSocket::SocketTimeoutError:
        return tr("No answer from %1 within %2 seconds")
            .arg(where)
            .arg((connectTimeoutMs_ + 999) / 1000);
    default:
        return tr("%1 could not be reached: %2").arg(where, socket_.errorString());
    }
}

// A fresh connection: a fresh Telnet session, and the remote line set before
// the first byte of data; then a short watch for a server that turns the
// connection away.
void NetworkSerialPort::onConnected() {
    if (state_ != State::Connecting) return;
    connectDeadline_.stop();
    connectMs_ = connecting_.elapsed();
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    state_ = State::Starting;
    commEvent_ = 0;
    in_.clear();
    inPos_ = 0;
    codec_ = TelnetCodec{};
    settingsSent_ = false;
    awaitingComPort_ = address_.protocol == NetworkAddress::Protocol::Rfc2217;
    if (!awaitingComPort_) {
        watchForRefusal();
        return;
    }
    sendRaw(codec_.start());
    startPhase_.start(NegotiationMs);
}

void NetworkSerialPort::watchForRefusal() {
    awaitingComPort_ = false;
    startPhase_.start(
        static_cast<int>(std::clamp(2 * connectMs_, LeastRefusalWaitMs, MostRefusalWaitMs)));
}

void NetworkSerialPort::onStartingInput() {
    takeReceived();
    if (awaitingComPort_ && codec_.comPort() != TelnetCodec::ComPort::Asked) watchForRefusal();
}

void NetworkSerialPort::onStartTimeout() {
    if (state_ != State::Starting || concluding_) return;
    if (awaitingComPort_) {
        watchForRefusal();
        return;
    }
    // Bytes that came with the closing are the server's words, not data.
    takeReceived();
    if (socket_.state() != QAbstractSocket::ConnectedState) {
        failAttempt({});
        return;
    }
    if (address_.protocol == NetworkAddress::Protocol::Rfc2217 &&
        codec_.comPort() == TelnetCodec::ComPort::Asked && !refusalSaid_) {
        refusalSaid_ = true;
        queueNotice(tr("%1 did not answer the request for COM port control; the remote line "
                       "settings could not be set")
                        .arg(name_));
    }
    concludeAttempt(true, {});
}

// The connection was not made, or the server closed the new one: then what
// it said before is the reason.
void NetworkSerialPort::failAttempt(const QString& connectFailure) {
    if (concluding_) return;
    QString reason = connectFailure;
    if (state_ == State::Starting) {
        if (socket_.bytesAvailable() > 0) takeReceived();
        const QString said = refusalText(in_.mid(inPos_));
        reason = said.isEmpty() ? tr("the server closed the connection as soon as it was made")
                                : tr("the server turned the connection away: %1").arg(said);
    }
    concludeAttempt(false, reason);
}

void NetworkSerialPort::concludeAttempt(bool succeeded, const QString& reason) {
    concluding_ = true;
    connectDeadline_.stop();
    startPhase_.stop();
    if (succeeded) {
        state_ = State::Open;
        everOpened_ = true;
        lastError_.clear();
        if (rThreshold_ > 0 && available() > 0) queueCommEvent();
        if (purpose_ == Purpose::Reconnect)
            reconnect_.attemptFinished(true);
        else
            emit opened();
        return;
    }
    // A failure may be noticed inside the socket's own handlers, where
    // closing it is unsafe: the close and the word follow from the event loop.
    const quint64 attempt = attempt_;
    QMetaObject::invokeMethod(
        this,
        [this, attempt, reason] {
            if (attempt != attempt_) return; // ended or replaced meanwhile
            ++attempt_;
            socket_.abort();
            state_ = State::Closed;
            in_.clear();
            inPos_ = 0;
            // A failed look for the server is quiet: the loss has been said.
            if (purpose_ == Purpose::Reconnect) {
                reconnect_.attemptFinished(false);
                return;
            }
            lastError_ = reason;
            emit openFailed(reason);
        },
        Qt::QueuedConnection);
}

void NetworkSerialPort::takeReceived() {
    if (socket_.bytesAvailable() <= 0) return;
    const QByteArray raw = socket_.readAll();
    if (inPos_ > 0 && inPos_ == in_.size()) {
        in_.clear();
        inPos_ = 0;
    }
    if (address_.protocol == NetworkAddress::Protocol::RawTcp) {
        in_ += raw;
        return;
    }
    QByteArray reply;
    codec_.decode(raw, in_, reply);
    if (!reply.isEmpty()) sendRaw(reply);
    afterNegotiation();
}

void NetworkSerialPort::afterNegotiation() {
    switch (codec_.comPort()) {
    case TelnetCodec::ComPort::Accepted:
        if (!settingsSent_) sendSettings();
        break;
    case TelnetCodec::ComPort::Refused:
        if (!refusalSaid_) {
            refusalSaid_ = true;
            queueNotice(tr("%1 refused COM port control: the line works, but the remote line "
                           "settings could not be set")
                            .arg(name_));
        }
        break;
    case TelnetCodec::ComPort::Asked:
        break;
    }
}

void NetworkSerialPort::sendSettings() {
    if (!remoteSettingsAccepted()) return;
    settingsSent_ = true;
    sendRaw(TelnetCodec::settingsCommands(ComPortValues::from(line_, flow_)));
}

void NetworkSerialPort::sendRaw(const QByteArray& wire) {
    // A connection the server has just closed takes nothing more.
    if (!socket_.isOpen() || socket_.write(wire) != wire.size()) return;
    // Out now, not when the event loop next runs: a transfer holds the
    // thread while it waits for the monitor's answer.
    socket_.flush();
}

void NetworkSerialPort::setRThreshold(int threshold) {
    const bool wasOn = rThreshold_ > 0;
    rThreshold_ = threshold;
    if (!wasOn && threshold > 0 && portOpen()) queueCommEvent();
}

void NetworkSerialPort::queueCommEvent() {
    if (commQueued_) return;
    commQueued_ = true;
    QMetaObject::invokeMethod(this, &NetworkSerialPort::deliverCommEvent, Qt::QueuedConnection);
}

void NetworkSerialPort::deliverCommEvent() {
    commQueued_ = false;
    if (rThreshold_ <= 0 || inBufferCount() < rThreshold_) return;
    commEvent_ = DataReceived;
    emit onComm();
}

void NetworkSerialPort::queueNotice(const QString& text) {
    QMetaObject::invokeMethod(
        this, [this, text] { emit notice(text); }, Qt::QueuedConnection);
}

int NetworkSerialPort::inBufferCount() {
    if (!portOpen()) return 0;
    // Bytes can wait in the kernel while a transfer holds the thread and
    // the read notifier never runs; fetch them without waiting.
    if (socket_.bytesAvailable() == 0) socket_.waitForReadyRead(0);
    takeReceived();
    return portOpen() ? available() : 0;
}

QByteArray NetworkSerialPort::input() {
    if (available() == 0) inBufferCount();
    if (!portOpen()) return {};
    const qsizetype n = inputLen_ > 0 ? std::min<qsizetype>(inputLen_, available()) : available();
    QByteArray out = in_.mid(inPos_, n);
    inPos_ += n;
    if (inPos_ == in_.size()) {
        in_.clear();
        inPos_ = 0;
    }
    return out;
}

bool NetworkSerialPort::output(const QByteArray& bytes) {
    if (!portOpen() || bytes.isEmpty()) return true;
    const QByteArray wire =
        address_.protocol == NetworkAddress::Protocol::Rfc2217 ? TelnetCodec::escape(bytes) : bytes;
    if (socket_.write(wire) != wire.size()) {
        lastError_ = socket_.errorString();
        return false;
    }
    socket_.flush();
    return portOpen();
}

int NetworkSerialPort::outBufferCount() {
    if (!portOpen()) return 0;
    if (socket_.bytesToWrite() > 0) socket_.flush();
    return portOpen() ? static_cast<int>(socket_.bytesToWrite()) : 0;
}

bool NetworkSerialPort::waitForOutput(int msecs) {
    QDeadlineTimer deadline(msecs);
    while (portOpen() && socket_.bytesToWrite() > 0 && !deadline.hasExpired())
        if (!socket_.waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) break;
    return outBufferCount() == 0;
}

bool NetworkSerialPort::waitForInput(int msecs) {
    QDeadlineTimer deadline(msecs);
    if (available() > 0) return true;
    while (portOpen()) {
        takeReceived();
        if (available() > 0) return true;
        const qint64 left = deadline.remainingTime();
        if (left <= 0) return false;
        // Telnet commands alone wake the wait without giving data; it goes
        // on until data or the deadline.
        if (!socket_.waitForReadyRead(static_cast<int>(left))) break;
    }
    takeReceived();
    if (portOpen() && available() > 0) return true;
    // A closed or dropped connection has nothing to wait for, but the caller
    // counts on the time passing rather than looping straight back.
    const qint64 left = deadline.remainingTime();
    if (left > 0) QThread::msleep(static_cast<unsigned long>(left));
    return false;
}

void NetworkSerialPort::onSocketError(QAbstractSocket::SocketError error) {
    switch (state_) {
    case State::Connecting:
        failAttempt(describeConnectFailure(error));
        return;
    case State::Starting:
        if (error != QAbstractSocket::SocketTimeoutError) failAttempt({});
        return;
    case State::Open:
        if (error == QAbstractSocket::SocketTimeoutError) return;
        noticeLoss(error == QAbstractSocket::RemoteHostClosedError
                       ? tr("the server closed the connection")
                       : socket_.errorString());
        return;
    case State::Closed:
    case State::Lost:
        return;
    }
}

// Called from inside the socket's own handlers (possibly within a wait),
// where closing it is unsafe: the port reads as closed from here on and the
// real close follows from the event loop.
void NetworkSerialPort::noticeLoss(const QString& reason) {
    if (state_ != State::Open) return;
    state_ = State::Lost;
    lastError_ = tr("The connection %1 was lost: %2").arg(name_, reason);
    QMetaObject::invokeMethod(this, &NetworkSerialPort::finishLoss, Qt::QueuedConnection);
}

void NetworkSerialPort::finishLoss() {
    if (state_ != State::Lost) return; // opened or closed by hand meanwhile
    socket_.abort();
    state_ = State::Closed;
    reconnect_.start();
    emit deviceLost(lastError_);
}

} // namespace kestrel
