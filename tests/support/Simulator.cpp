#include "Simulator.h"

#include <QDeadlineTimer>
#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace kestrel::test {

namespace {

constexpr int startMsecs = 5000;

const QString reportName = QStringLiteral("report.bin");
const QString transcriptName = QStringLiteral("transcript.txt");

} // namespace

QByteArray SimulatorReport::memory(quint32 address, qsizetype length) const {
    QByteArray result(length, '\0');
    const quint64 begin = address;
    const quint64 end = begin + static_cast<quint64>(length);
    for (const Region& region : regions) {
        const quint64 regionEnd = region.address + static_cast<quint64>(region.bytes.size());
        const quint64 from = std::max<quint64>(begin, region.address);
        const quint64 to = std::min(end, regionEnd);
        if (from >= to) continue;
        std::copy_n(region.bytes.constData() + (from - region.address), to - from,
                    result.data() + (from - begin));
    }
    return result;
}

quint64 SimulatorReport::counter(const QString& name) const {
    const auto found = counters.find(name);
    if (found != counters.end()) return found->second;
    ADD_FAILURE() << "the simulator report has no counter " << name.toStdString();
    return 0;
}

std::optional<SimulatorReport> SimulatorReport::parse(const QByteArray& text) {
    SimulatorReport report;
    std::vector<quint64> lengths;
    qsizetype at = 0;
    bool first = true;
    for (;;) {
        const qsizetype end = text.indexOf('\n', at);
        if (end < 0) return std::nullopt;
        const QByteArray line = text.mid(at, end - at);
        at = end + 1;
        if (first) {
            if (line != "kestrel-monitor-sim report") return std::nullopt;
            first = false;
            continue;
        }
        if (line == "data") break;
        const QList<QByteArray> words = line.split(' ');
        if (words.size() != 3) return std::nullopt;
        bool ok = false, ok2 = true;
        if (words[0] == "register") {
            report.registers[QString::fromLatin1(words[1])] = words[2].toUInt(&ok, 16);
        } else if (words[0] == "counter") {
            report.counters[QString::fromLatin1(words[1])] = words[2].toULongLong(&ok, 10);
        } else if (words[0] == "region") {
            report.regions.push_back({words[1].toUInt(&ok, 16), {}});
            lengths.push_back(words[2].toULongLong(&ok2, 16));
        }
        if (!ok || !ok2) return std::nullopt;
    }
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        if (lengths[i] > static_cast<quint64>(text.size() - at)) return std::nullopt;
        report.regions[i].bytes = text.mid(at, static_cast<qsizetype>(lengths[i]));
        at += static_cast<qsizetype>(lengths[i]);
    }
    if (at != text.size()) return std::nullopt;
    return report;
}

QByteArray SimulatorTranscript::received() const {
    QByteArray bytes;
    for (const Entry& entry : entries)
        if (entry.kind == Kind::In) bytes += entry.bytes;
    return bytes;
}

QByteArray SimulatorTranscript::sent() const {
    QByteArray bytes;
    for (const Entry& entry : entries)
        if (entry.kind == Kind::Out) bytes += entry.bytes;
    return bytes;
}

QStringList SimulatorTranscript::events() const {
    QStringList texts;
    for (const Entry& entry : entries)
        if (entry.kind == Kind::Event) texts << entry.event;
    return texts;
}

SimulatorTranscript SimulatorTranscript::parse(const QByteArray& text) {
    SimulatorTranscript transcript;
    for (const QByteArray& line : text.split('\n')) {
        const qsizetype timeEnd = line.indexOf(' ');
        if (timeEnd < 0) continue;
        const qsizetype kindEnd = line.indexOf(' ', timeEnd + 1);
        const QByteArray kind = line.mid(timeEnd + 1, kindEnd < 0 ? -1 : kindEnd - timeEnd - 1);
        const QByteArray rest = kindEnd < 0 ? QByteArray() : line.mid(kindEnd + 1);
        Entry entry;
        entry.seconds = line.left(timeEnd).toDouble();
        if (kind == "in" || kind == "out") {
            entry.kind = kind == "in" ? Kind::In : Kind::Out;
            entry.bytes = QByteArray::fromHex(rest);
        } else {
            entry.kind = Kind::Event;
            entry.event = QString::fromLocal8Bit(rest);
        }
        transcript.entries.push_back(std::move(entry));
    }
    return transcript;
}

Simulator::Simulator(const QStringList& options) {
    process_.setProgram(program());
    process_.setArguments(options + QStringList{
                                        QStringLiteral("--report"),
                                        directory_.filePath(reportName),
                                        QStringLiteral("--transcript"),
                                        directory_.filePath(transcriptName),
                                    });
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start();
    if (!process_.waitForStarted(startMsecs)) {
        ADD_FAILURE() << "cannot start " << program().toStdString() << ": "
                      << process_.errorString().toStdString();
        return;
    }
    QDeadlineTimer deadline(startMsecs);
    while (!process_.canReadLine() && process_.waitForReadyRead(deadline.remainingTime())) {
    }
    if (!process_.canReadLine()) {
        ADD_FAILURE() << "the simulator did not name its device ("
                      << (isRunning() ? std::string("still running")
                                      : "exit status " + std::to_string(process_.exitCode()))
                      << ")";
        return;
    }
    devicePath_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
}

Simulator::~Simulator() {
    if (isRunning()) stop();
}

QString Simulator::program() {
    const QString chosen = qEnvironmentVariable("KESTREL_MONITOR_SIM");
    if (!chosen.isEmpty()) return chosen;
    return QStringLiteral(KESTREL_BINARY_DIR "/tools/monitor-sim/kestrel-monitor-sim");
}

std::optional<QString> Simulator::waitForLine(const QString& prefix, int msecs) {
    QDeadlineTimer deadline(msecs);
    for (;;) {
        while (process_.canReadLine()) {
            const QString line = QString::fromLocal8Bit(process_.readLine()).trimmed();
            if (line.startsWith(prefix)) return line;
        }
        if (deadline.hasExpired() || !process_.waitForReadyRead(deadline.remainingTime()))
            return std::nullopt;
    }
}

SimulatorReport Simulator::report() {
    if (!isRunning()) {
        ADD_FAILURE() << "the simulator is not running";
        return {};
    }
    ::kill(static_cast<pid_t>(process_.processId()), SIGUSR1);
    if (!waitForLine(QStringLiteral("report "))) {
        ADD_FAILURE() << "the simulator wrote no report";
        return {};
    }
    return readReport();
}

SimulatorReport Simulator::readReport() {
    QFile file(directory_.filePath(reportName));
    if (!file.open(QIODevice::ReadOnly)) {
        ADD_FAILURE() << "no simulator report at " << file.fileName().toStdString();
        return {};
    }
    auto parsed = SimulatorReport::parse(file.readAll());
    if (!parsed) {
        ADD_FAILURE() << "malformed simulator report " << file.fileName().toStdString();
        return {};
    }
    return *parsed;
}

SimulatorTranscript Simulator::transcript() const {
    QFile file(directory_.filePath(transcriptName));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return SimulatorTranscript::parse(file.readAll());
}

SimulatorReport Simulator::stop() {
    if (isRunning()) {
        process_.terminate();
        if (!process_.waitForFinished(startMsecs)) {
            ADD_FAILURE() << "the simulator ignored SIGTERM";
            process_.kill();
            process_.waitForFinished(startMsecs);
        }
    }
    return readReport();
}

SimulatorLine::SimulatorLine(const QString& devicePath) {
    fd_ = ::open(devicePath.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        ADD_FAILURE() << "cannot open " << devicePath.toStdString();
        return;
    }
    termios settings{};
    if (tcgetattr(fd_, &settings) == 0) {
        cfmakeraw(&settings);
        tcsetattr(fd_, TCSANOW, &settings);
    }
}

SimulatorLine::~SimulatorLine() {
    if (fd_ >= 0) ::close(fd_);
}

bool SimulatorLine::write(const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd_, bytes.constData() + done, bytes.size() - done);
        if (written > 0) {
            done += written;
        } else if (written < 0 && errno == EAGAIN) {
            pollfd room{fd_, POLLOUT, 0};
            ::poll(&room, 1, 1000);
        } else if (!(written < 0 && errno == EINTR)) {
            hungUp_ = true;
            return false;
        }
    }
    return true;
}

bool SimulatorLine::readSome(QByteArray& into, qint64 msecs) {
    if (fd_ < 0 || hungUp_) return false;
    pollfd waiting{fd_, POLLIN, 0};
    if (::poll(&waiting, 1, static_cast<int>(std::max<qint64>(msecs, 0))) <= 0) return false;
    char buffer[4096];
    const ssize_t count = ::read(fd_, buffer, sizeof buffer);
    if (count > 0) {
        into.append(buffer, count);
        return true;
    }
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    hungUp_ = true; // end of file or EIO: the master side is gone
    return false;
}

QByteArray SimulatorLine::readUntil(const QByteArray& expected, int msecs) {
    QByteArray got;
    QDeadlineTimer deadline(msecs);
    while (!got.contains(expected) && readSome(got, deadline.remainingTime())) {
    }
    return got;
}

QByteArray SimulatorLine::readCount(qsizetype count, int msecs) {
    QByteArray got;
    QDeadlineTimer deadline(msecs);
    while (got.size() < count && readSome(got, deadline.remainingTime())) {
    }
    return got;
}

QByteArray SimulatorLine::readFor(int msecs) {
    QByteArray got;
    QDeadlineTimer deadline(msecs);
    while (!deadline.hasExpired() && readSome(got, deadline.remainingTime())) {
    }
    return got;
}

} // namespace kestrel::test
