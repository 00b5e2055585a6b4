#include "QtSerialPortComponent.h"

#include "DeviceMap.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <limits>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace kestrel {

namespace {

QSerialPort::Parity toQt(LineSettings::Parity parity) {
    switch (parity) {
    case LineSettings::Parity::None:
        return QSerialPort::NoParity;
    case LineSettings::Parity::Odd:
        return QSerialPort::OddParity;
    case LineSettings::Parity::Even:
        return QSerialPort::EvenParity;
    case LineSettings::Parity::Mark:
        return QSerialPort::MarkParity;
    case LineSettings::Parity::Space:
        return QSerialPort::SpaceParity;
    }
    return QSerialPort::NoParity;
}

QSerialPort::StopBits toQt(LineSettings::StopBits stopBits) {
    switch (stopBits) {
    case LineSettings::StopBits::One:
        return QSerialPort::OneStop;
    case LineSettings::StopBits::OneAndHalf:
        return QSerialPort::OneAndHalfStop;
    case LineSettings::StopBits::Two:
        return QSerialPort::TwoStop;
    }
    return QSerialPort::OneStop;
}

QSerialPort::FlowControl toQt(FlowControl flow) {
    switch (flow) {
    case FlowControl::XonXoff:
        return QSerialPort::SoftwareControl;
    case FlowControl::RtsCts:
    case FlowControl::RtsCtsXonXoff:
        return QSerialPort::HardwareControl;
    case FlowControl::None:
        break;
    }
    return QSerialPort::NoFlowControl;
}

int clampToInt(qint64 n) {
    return static_cast<int>(qMin<qint64>(n, std::numeric_limits<int>::max()));
}

// Lower latency on real UARTs (the driver hands received bytes on at once
// instead of batching them); pseudo-terminals and most USB adapters refuse,
// which is harmless.
void requestLowLatency([[maybe_unused]] qintptr handle) {
#ifdef Q_OS_LINUX
    serial_struct info{};
    if (::ioctl(static_cast<int>(handle), TIOCGSERIAL, &info) != 0) return;
    info.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(static_cast<int>(handle), TIOCSSERIAL, &info);
#endif
}

} // namespace

QtSerialPortComponent::QtSerialPortComponent(QObject* parent)
    : SerialPort(parent), reconnect_([this] { return lookForDevice(); }) {
    connect(&serial_, &QSerialPort::readyRead, this, [this] {
        if (rThreshold_ > 0) queueCommEvent();
    });
    connect(&serial_, &QSerialPort::errorOccurred, this, &QtSerialPortComponent::onError);
    connect(&reconnect_, &ReconnectLoop::restored, this, &SerialPort::deviceRestored);
}

QtSerialPortComponent::~QtSerialPortComponent() {
    serial_.disconnect(this);
    closeDevice();
}

void QtSerialPortComponent::closeDevice() {
    if (serial_.isOpen()) serial_.close();
#ifdef Q_OS_UNIX
    if (claimFd_ >= 0) ::close(claimFd_); // closing releases the lock
#endif
    claimFd_ = -1;
}

bool QtSerialPortComponent::claimDevice([[maybe_unused]] const QString& path) {
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(path);
    const QString busy = tr("Device busy: %1 is in use or locked by another program").arg(path);
    const QString notSerial = tr("%1 is not a serial device").arg(path);
    struct stat st {};
    if (::stat(name.constData(), &st) == 0 && !S_ISCHR(st.st_mode)) {
        lastError_ = notSerial;
        return false;
    }
    // Non-blocking, and no controlling terminal: opening changes nothing on
    // the line.
    const int fd = ::open(name.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM)
            lastError_ = permissionDeniedReason(path);
        else if (error == EBUSY)
            lastError_ = busy;
        else if (error == ENOENT)
            lastError_ = tr("No such file or directory: %1").arg(path);
        else
            lastError_ = tr("%1 could not be opened: %2")
                             .arg(path, QString::fromLocal8Bit(std::strerror(error)));
        return false;
    }
    if (::isatty(fd) != 1) {
        ::close(fd);
        lastError_ = notSerial;
        return false;
    }
    // Two programs on one device: the second stops here, before it has
    // flushed the line or applied its settings to it.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        lastError_ = busy;
        return false;
    }
    claimFd_ = fd;
#endif
    return true;
}

bool QtSerialPortComponent::setCommPort(int number) {
    if (!isValidCommPort(number) || portOpen()) return false;
    commPort_ = number;
    return true;
}

bool QtSerialPortComponent::setSettings(const LineSettings& line) {
#ifndef Q_OS_WIN
    if (line.stopBits == LineSettings::StopBits::OneAndHalf) return false;
#endif
    if (serial_.isOpen() && !applyLine(line)) {
        applyLine(line_);
        return false;
    }
    line_ = line;
    return true;
}

bool QtSerialPortComponent::applyLine(const LineSettings& line) {
    return serial_.setBaudRate(line.speed) && serial_.setParity(toQt(line.parity)) &&
           serial_.setDataBits(static_cast<QSerialPort::DataBits>(line.dataBits)) &&
           serial_.setStopBits(toQt(line.stopBits));
}

bool QtSerialPortComponent::setFlowControl(FlowControl flow) {
    if (serial_.isOpen() && !serial_.setFlowControl(toQt(flow))) {
        serial_.setFlowControl(toQt(flow_));
        return false;
    }
    flow_ = flow;
    return true;
}

bool QtSerialPortComponent::portOpen() const {
    return serial_.isOpen() && !lost_;
}

bool QtSerialPortComponent::setPortOpen(bool open) {
    reconnect_.stop();
    if (lost_ || !open) closeDevice();
    lost_ = false;
    if (!open) return true;
    return serial_.isOpen() || openDevice();
}

bool QtSerialPortComponent::openDevice() {
    const QString path = deviceName();
    if (path.isEmpty()) {
        lastError_ = tr("There is no device for port COM%1").arg(commPort_);
        return false;
    }
    if (!QFileInfo::exists(path)) {
        lastError_ = tr("No such file or directory: %1").arg(path);
        return false;
    }
    if (!claimDevice(path)) return false;
    serial_.setPortName(path);
    applyLine(line_);
    serial_.setFlowControl(toQt(flow_));
    if (!serial_.open(QIODevice::ReadWrite)) {
        lastError_ = describeOpenFailure(path);
        serial_.clearError();
        closeDevice();
        return false;
    }
    // QSerialPort applies the settings while opening without checking that
    // the device took them (a pseudo-terminal ignores parity and data bits);
    // applied again on the open device, a refusal shows.
    if (!applyLine(line_)) {
        closeDevice();
        lastError_ = tr("%1 does not take the settings %2").arg(path, line_.text());
        return false;
    }
    requestLowLatency(serial_.handle());
    lastError_.clear();
    commEvent_ = 0;
    return true;
}

QString QtSerialPortComponent::describeOpenFailure(const QString& path) const {
    switch (serial_.error()) {
    case QSerialPort::DeviceNotFoundError:
        return tr("No such device: %1").arg(path);
    case QSerialPort::PermissionError:
    case QSerialPort::OpenError:
#ifdef Q_OS_UNIX
        // Qt reports a lock held by another program and a device we may not
        // open alike; the device's own permissions tell them apart.
        if (::access(QFile::encodeName(path).constData(), R_OK | W_OK) != 0 && errno == EACCES)
            return permissionDeniedReason(path);
#endif
        return tr("Device busy: %1 is in use or locked by another program").arg(path);
    case QSerialPort::UnsupportedOperationError:
        return tr("%1 does not take the settings %2").arg(path, line_.text());
    default:
        return tr("%1 could not be opened: %2").arg(path, serial_.errorString());
    }
}

QString QtSerialPortComponent::permissionDeniedReason(const QString& path) {
#ifdef Q_OS_UNIX
    struct stat info {};
    const auto groupReadWrite = S_IRGRP | S_IWGRP;
    if (::stat(QFile::encodeName(path).constData(), &info) == 0 &&
        (info.st_mode & groupReadWrite) == groupReadWrite && info.st_gid != 0) {
        if (const group* owner = ::getgrgid(info.st_gid))
            return tr("Permission denied: add yourself to the group '%1'")
                .arg(QString::fromLocal8Bit(owner->gr_name));
    }
#endif
    return tr("Permission denied: you may not read and write %1").arg(path);
}

void QtSerialPortComponent::setRThreshold(int threshold) {
    const bool wasOn = rThreshold_ > 0;
    rThreshold_ = threshold;
    if (!wasOn && threshold > 0 && portOpen()) queueCommEvent();
}

void QtSerialPortComponent::queueCommEvent() {
    if (commQueued_) return;
    commQueued_ = true;
    QMetaObject::invokeMethod(this, &QtSerialPortComponent::deliverCommEvent, Qt::QueuedConnection);
}

void QtSerialPortComponent::deliverCommEvent() {
    commQueued_ = false;
    if (rThreshold_ <= 0 || inBufferCount() < rThreshold_) return;
    commEvent_ = DataReceived;
    emit onComm();
}

// Bytes can sit in the kernel before Qt's read notifier has run (a transfer
// that holds the thread never lets it run); fetch them without waiting.
void QtSerialPortComponent::pullFromDevice() {
    if (portOpen()) serial_.waitForReadyRead(0);
}

int QtSerialPortComponent::inBufferCount() {
    pullFromDevice();
    return portOpen() ? clampToInt(serial_.bytesAvailable()) : 0;
}

QByteArray QtSerialPortComponent::input() {
    // A caller that has just asked for the count has just pulled; asking the
    // device again costs a system call per read and finds nothing new.
    if (serial_.bytesAvailable() == 0) pullFromDevice();
    if (!portOpen()) return {};
    return inputLen_ > 0 ? serial_.read(inputLen_) : serial_.readAll();
}

qint64 QtSerialPortComponent::writeNow(const char* data, qint64 size) {
#ifdef Q_OS_UNIX
    // Straight to the device while nothing older waits in Qt's buffer, so a
    // frame goes out now and not when the event loop next runs.
    if (serial_.bytesToWrite() == 0) {
        ssize_t n;
        do
            n = ::write(static_cast<int>(serial_.handle()), data, static_cast<size_t>(size));
        while (n < 0 && errno == EINTR);
        if (n >= 0) return n;
        if (errno == EAGAIN) return 0;
        noticeLoss(QString::fromLocal8Bit(strerror(errno)));
        return -1;
    }
#else
    Q_UNUSED(data)
    Q_UNUSED(size)
#endif
    return 0;
}

bool QtSerialPortComponent::output(const QByteArray& bytes) {
    if (!portOpen() || bytes.isEmpty()) return true;
    const qint64 sent = writeNow(bytes.constData(), bytes.size());
    if (sent < 0) return false;
    if (sent == bytes.size()) return true;
    const qint64 rest = bytes.size() - sent;
    if (serial_.write(bytes.constData() + sent, rest) != rest) {
        lastError_ = serial_.errorString();
        return false;
    }
#ifndef Q_OS_UNIX
    serial_.flush();
#endif
    return true;
}

// Bytes the driver has taken but not yet put on the line. A real UART at
// 9600 baud holds a whole frame there for two seconds after the write has
// returned; the monitor cannot answer before it has them.
qint64 QtSerialPortComponent::driverQueue() const {
#ifdef Q_OS_LINUX
    int queued = 0;
    if (serial_.isOpen() && ::ioctl(serial_.handle(), TIOCOUTQ, &queued) == 0 && queued > 0)
        return queued;
#endif
    return 0;
}

int QtSerialPortComponent::outBufferCount() {
    if (!portOpen()) return 0;
    if (serial_.bytesToWrite() > 0) serial_.waitForBytesWritten(0);
    return portOpen() ? clampToInt(serial_.bytesToWrite() + driverQueue()) : 0;
}

bool QtSerialPortComponent::waitForOutput(int msecs) {
    QDeadlineTimer deadline(msecs);
    while (portOpen() && serial_.bytesToWrite() > 0 && !deadline.hasExpired())
        serial_.waitForBytesWritten(static_cast<int>(deadline.remainingTime()));
    // There is no readiness to wait on for the driver's queue: sleep for the
    // time the line needs to send it (10 bits a byte), within the limit.
    if (const qint64 queued = portOpen() ? driverQueue() : 0; queued > 0) {
        const qint64 speed = std::max<qint64>(serial_.baudRate(), 50);
        const qint64 needMs = std::max<qint64>(1, queued * 10 * 1000 / speed);
        QThread::msleep(static_cast<unsigned long>(std::min(needMs, deadline.remainingTime())));
    }
    return outBufferCount() == 0;
}

bool QtSerialPortComponent::waitForInput(int msecs) {
    QDeadlineTimer deadline(msecs);
    // Bytes still in the device make the wait below return at once.
    if (portOpen() && serial_.bytesAvailable() > 0) return true;
    if (portOpen()) serial_.waitForReadyRead(msecs);
    if (portOpen() && serial_.bytesAvailable() > 0) return true;
    // A closed or failing port has nothing to wait for, but the caller counts
    // on the time passing rather than looping straight back.
    const qint64 left = deadline.remainingTime();
    if (left > 0) QThread::msleep(static_cast<unsigned long>(left));
    return false;
}

QString QtSerialPortComponent::deviceName() const {
    return deviceOverride_.isEmpty() ? deviceForCommPort(commPort_) : deviceOverride_;
}

void QtSerialPortComponent::onError(QSerialPort::SerialPortError error) {
    switch (error) {
    case QSerialPort::ResourceError:
        if (serial_.isOpen()) noticeLoss(serial_.errorString());
        break;
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
        // Qt also calls a read that found nothing a read error (the event
        // loop saw the device readable, then a conversation took the bytes
        // before the notice was handled), naming whatever errno was left
        // over. Only a line that has hung up or failed has gone away.
        if (serial_.isOpen() && lineHasFailed())
            noticeLoss(serial_.errorString());
        else
            serial_.clearError();
        break;
    default:
        break;
    }
}

bool QtSerialPortComponent::lineHasFailed() {
#ifdef Q_OS_UNIX
    pollfd line{static_cast<int>(serial_.handle()), POLLIN | POLLOUT, 0};
    if (::poll(&line, 1, 0) < 0) return errno != EINTR;
    return (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
    return true;
#endif
}

// Called from inside QSerialPort's own handlers, where closing it is unsafe:
// the port reads as closed from here on and the real close follows from the
// event loop.
void QtSerialPortComponent::noticeLoss(const QString& reason) {
    if (lost_) return;
    lost_ = true;
    lastError_ = tr("The device %1 went away: %2").arg(deviceName(), reason);
    QMetaObject::invokeMethod(this, &QtSerialPortComponent::finishLoss, Qt::QueuedConnection);
}

void QtSerialPortComponent::finishLoss() {
    if (!lost_) return; // opened or closed by hand meanwhile
    closeDevice();
    lost_ = false;
    reconnect_.start();
    emit deviceLost(lastError_);
}

ReconnectLoop::Attempt QtSerialPortComponent::lookForDevice() {
    return QFileInfo::exists(deviceName()) && openDevice() ? ReconnectLoop::Attempt::Succeeded
                                                           : ReconnectLoop::Attempt::Failed;
}

} // namespace kestrel
