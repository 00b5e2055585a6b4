#include "Ser2net.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QThread>

#include <csignal>
#include <unistd.h>

namespace kestrel::test {

QString Ser2net::program() {
    const QStringList extra{QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")};
    QString found = QStandardPaths::findExecutable(QStringLiteral("ser2net"));
    if (found.isEmpty()) found = QStandardPaths::findExecutable(QStringLiteral("ser2net"), extra);
    return found;
}

Ser2net::Ser2net(Accepter accepter, const QString& device, const QString& lineSettings)
    : accepter_(accepter), device_(device), lineSettings_(lineSettings) {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    port_ = probe.serverPort();
    process_.setProcessChannelMode(QProcess::MergedChannels);
}

Ser2net::~Ser2net() {
    stop();
}

QString Ser2net::portName() const {
    return QStringLiteral("%1://127.0.0.1:%2")
        .arg(accepter_ == Accepter::Rfc2217 ? "rfc2217" : "tcp")
        .arg(port_);
}

bool Ser2net::start() {
    const QString accepter = accepter_ == Accepter::Rfc2217 ? "telnet(rfc2217),tcp" : "tcp";
    const QString config = directory_.filePath("ser2net.yaml");
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) return false;
    file.write(QStringLiteral("connection: &console\n"
                              "  accepter: %1,127.0.0.1,%2\n"
                              "  connector: serialdev,%3,%4,local\n"
                              "  options:\n"
                              "    kickolduser: %5\n"
                              "    mdns: false\n")
                   .arg(accepter)
                   .arg(port_)
                   .arg(device_, lineSettings_)
                   .arg(kickOldUser_ ? "true" : "false")
                   .toUtf8());
    file.close();
    // -n: stay in the foreground so the test owns the process; -u: no UUCP
    // lock files outside the test's own directory.
    process_.start(program(), {"-n", "-u", "-c", config, "-P", directory_.filePath("pid")});
    if (!process_.waitForStarted(5000)) {
        error_ = process_.errorString();
        return false;
    }
    // It has no "ready" line to wait for: watch the kernel's table of
    // listening sockets until its port is there.
    QDeadlineTimer deadline(5000);
    while (!listening()) {
        if (process_.state() != QProcess::Running || deadline.hasExpired()) {
            error_ = QString::fromLocal8Bit(process_.readAll());
            return false;
        }
        process_.waitForReadyRead(10); // sleeps in the kernel, wakes on output
    }
    return true;
}

// The port was free when the probe let it go, but anything on the machine
// (another test's server) may take it before ser2net does: the listener must
// be ser2net's own socket, or the test would talk to a stranger.
bool Ser2net::listening() const {
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly)) return false;
    // local_address is "0100007F:PORT" in hex; state 0A is LISTEN; field 9 is
    // the socket's inode.
    const QByteArray local =
        "0100007F:" + QByteArray::number(port_, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 9 && fields[1] == local && fields[3] == "0A")
            return ownsSocket(fields[9]);
    }
    return false;
}

bool Ser2net::ownsSocket(const QByteArray& inode) const {
    const QString fds = QStringLiteral("/proc/%1/fd").arg(process_.processId());
    const QByteArray target = "socket:[" + inode + "]";
    for (const QString& fd : QDir(fds).entryList(QDir::NoDotAndDotDot | QDir::System)) {
        char link[64];
        const QByteArray path = QFile::encodeName(fds + QLatin1Char('/') + fd);
        const ssize_t length = ::readlink(path.constData(), link, sizeof link);
        if (length > 0 && QByteArray(link, length) == target) return true;
    }
    return false;
}

void Ser2net::stop() {
    if (process_.state() == QProcess::NotRunning) return;
    ::kill(static_cast<pid_t>(process_.processId()), SIGTERM);
    if (!process_.waitForFinished(3000)) kill();
}

void Ser2net::kill() {
    if (process_.state() == QProcess::NotRunning) return;
    ::kill(static_cast<pid_t>(process_.processId()), SIGKILL);
    process_.waitForFinished(3000);
}

} // namespace kestrel::test
