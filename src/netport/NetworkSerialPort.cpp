#include "NetworkSerialPort.h"

#include "DeviceMap.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
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
    : SerialPort(parent), address_(address), name_(name) {
    connect(&socket_, &QTcpSocket::readyRead, this, [this] {
        if (!portOpen()) return;
        takeReceived();
        if (rThreshold_ > 0 && available() > 0) queueCommEvent();
    });
    connect(&socket_, &QTcpSocket::errorOccurred, this, &NetworkSerialPort::onSocketError);
    connect(&socket_, &QTcpSocket::disconnected, this, [this] {
        if (connected_) noticeLoss(tr("the server closed the connection"));
    });
    // The session starts from the event loop, not inside the socket's own
    // signal, where a wait for the server's answer cannot see it arrive.
    connect(
        &socket_, &QTcpSocket::connected, this,
        [this] {
            if (reconnecting_) onReconnected();
        },
        Qt::QueuedConnection);
    reconnect_.setInterval(1000);
    connect(&reconnect_, &QTimer::timeout, this, &NetworkSerialPort::lookForServer);
    reconnectDeadline_.setSingleShot(true);
    connect(&reconnectDeadline_, &QTimer::timeout, this, [this] {
        if (reconnecting_ && socket_.state() != QAbstractSocket::ConnectedState) socket_.abort();
    });
}

NetworkSerialPort::~NetworkSerialPort() {
    socket_.disconnect(this);
    socket_.abort();
}

bool NetworkSerialPort::setCommPort(int number) {
    if (!isValidCommPort(number) || portOpen()) return false;
    commPort_ = number;
    return true;
}

bool NetworkSerialPort::setSettings(const QString& text) {
    const auto line = LineSettings::parse(text);
    if (!line) return false;
    const bool changed = !(*line == line_) || text != settingsText_;
    line_ = *line;
    settingsText_ = text;
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

bool NetworkSerialPort::setHandshaking(int mode) {
    if (mode < NoHandshake || mode > RtsCtsXonXoff) return false;
    const bool changed = mode != handshaking_;
    handshaking_ = mode;
    if (changed && portOpen()) sendSettings();
    return true;
}

bool NetworkSerialPort::remoteSettingsAccepted() const {
    return address_.protocol == NetworkAddress::Protocol::Rfc2217 &&
           codec_.comPort() == TelnetCodec::ComPort::Accepted;
}

bool NetworkSerialPort::setPortOpen(bool open) {
    reconnect_.stop();
    reconnectDeadline_.stop();
    reconnecting_ = false;
    if (lost_ || (!open && connected_)) {
        connected_ = false;
        lost_ = false;
        // What is still queued goes out before the connection is closed.
        if (socket_.state() == QAbstractSocket::ConnectedState && socket_.bytesToWrite() > 0)
            socket_.waitForBytesWritten(1000);
        socket_.abort();
    }
    if (!open) return true;
    return connected_ || connectNow();
}

bool NetworkSerialPort::connectNow() {
    socket_.abort();
    QElapsedTimer connecting;
    connecting.start();
    socket_.connectToHost(address_.host, address_.port);
    if (!socket_.waitForConnected(connectTimeoutMs_)) {
        lastError_ = describeConnectFailure();
        socket_.abort();
        return false;
    }
    connectMs_ = connecting.elapsed();
    return startSession();
}

QString NetworkSerialPort::describeConnectFailure() const {
    const QString where = QStringLiteral("%1:%2").arg(address_.host).arg(address_.port);
    switch (socket_.error()) {
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
// the first byte of data. False when the server turned the connection away.
bool NetworkSerialPort::startSession() {
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connected_ = true;
    lost_ = false;
    lastError_.clear();
    commEvent_ = 0;
    in_.clear();
    inPos_ = 0;
    codec_ = TelnetCodec{};
    settingsSent_ = false;
    const bool rfc2217 = address_.protocol == NetworkAddress::Protocol::Rfc2217;
    if (rfc2217) {
        sendRaw(codec_.start());
        QDeadlineTimer deadline(NegotiationMs);
        while (portOpen() && codec_.comPort() == TelnetCodec::ComPort::Asked &&
               !deadline.hasExpired()) {
            if (!socket_.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) break;
            takeReceived();
        }
    }
    QDeadlineTimer refusal(std::clamp(2 * connectMs_, LeastRefusalWaitMs, MostRefusalWaitMs));
    while (portOpen() && !refusal.hasExpired()) {
        if (!socket_.waitForReadyRead(static_cast<int>(refusal.remainingTime()))) break;
        takeReceived();
    }
    if (!portOpen()) {
        const QString said = refusalText(in_.mid(inPos_));
        socket_.abort();
        connected_ = false;
        lost_ = false;
        lastError_ = said.isEmpty() ? tr("the server closed the connection as soon as it was made")
                                    : tr("the server turned the connection away: %1").arg(said);
        return false;
    }
    everOpened_ = true;
    if (rfc2217 && codec_.comPort() == TelnetCodec::ComPort::Asked && !refusalSaid_) {
        refusalSaid_ = true;
        queueNotice(tr("%1 did not answer the request for COM port control; the remote line "
                       "settings could not be set")
                        .arg(name_));
    }
    return true;
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
    sendRaw(TelnetCodec::settingsCommands(ComPortValues::from(line_, handshaking_)));
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
    // A failed attempt to reconnect leaves the socket unconnected by itself;
    // the next tick tries again.
    if (reconnecting_) return;
    if (!connected_ || error == QAbstractSocket::SocketTimeoutError) return;
    noticeLoss(error == QAbstractSocket::RemoteHostClosedError
                   ? tr("the server closed the connection")
                   : socket_.errorString());
}

// Called from inside the socket's own handlers (possibly within a wait),
// where closing it is unsafe: the port reads as closed from here on and the
// real close follows from the event loop.
void NetworkSerialPort::noticeLoss(const QString& reason) {
    if (lost_ || !connected_) return;
    lost_ = true;
    lastError_ = tr("The connection %1 was lost: %2").arg(name_, reason);
    QMetaObject::invokeMethod(this, &NetworkSerialPort::finishLoss, Qt::QueuedConnection);
}

void NetworkSerialPort::finishLoss() {
    if (!lost_) return; // opened or closed by hand meanwhile
    socket_.abort();
    connected_ = false;
    lost_ = false;
    reconnect_.start();
    emit deviceLost(lastError_);
}

void NetworkSerialPort::lookForServer() {
    if (socket_.state() != QAbstractSocket::UnconnectedState) return;
    reconnecting_ = true;
    connecting_.start();
    socket_.connectToHost(address_.host, address_.port);
    reconnectDeadline_.start(connectTimeoutMs_);
}

// A server that turns the new connection away is looked for again at the
// next tick, without a word: the loss has been said.
void NetworkSerialPort::onReconnected() {
    reconnecting_ = false;
    reconnectDeadline_.stop();
    connectMs_ = connecting_.elapsed();
    if (!startSession()) return;
    reconnect_.stop();
    emit deviceRestored();
}

} // namespace kestrel
