#include "CliLogs.h"

#include "CliHost.h"
#include "CliOptions.h"
#include "SerialPort.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace kestrel::cli {

namespace {

// Every call goes to the port behind it; what input() returns is logged on
// its way out. The conversation reads nothing any other way, so the raw log
// holds every received byte, binary answers and memory blocks included.
class RawLoggedPort : public SerialPort {
public:
    RawLoggedPort(std::unique_ptr<SerialPort> inner, SessionLog& log)
        : inner_(std::move(inner)), log_(log) {
        connect(inner_.get(), &SerialPort::onComm, this, &SerialPort::onComm);
        connect(inner_.get(), &SerialPort::deviceLost, this, &SerialPort::deviceLost);
        connect(inner_.get(), &SerialPort::deviceRestored, this, &SerialPort::deviceRestored);
        connect(inner_.get(), &SerialPort::notice, this, &SerialPort::notice);
        connect(inner_.get(), &SerialPort::opened, this, &SerialPort::opened);
        connect(inner_.get(), &SerialPort::openFailed, this, &SerialPort::openFailed);
    }

    bool setCommPort(int number) override { return inner_->setCommPort(number); }
    int commPort() const override { return inner_->commPort(); }
    bool setSettings(const LineSettings& line) override { return inner_->setSettings(line); }
    LineSettings settings() const override { return inner_->settings(); }
    bool setFlowControl(FlowControl flow) override { return inner_->setFlowControl(flow); }
    FlowControl flowControl() const override { return inner_->flowControl(); }
    bool setPortOpen(bool open) override { return inner_->setPortOpen(open); }
    bool portOpen() const override { return inner_->portOpen(); }
    bool beginOpen() override { return inner_->beginOpen(); }
    bool portOpening() const override { return inner_->portOpening(); }
    QString lastError() const override { return inner_->lastError(); }
    void setRThreshold(int threshold) override { inner_->setRThreshold(threshold); }
    int rThreshold() const override { return inner_->rThreshold(); }
    int inBufferCount() override { return inner_->inBufferCount(); }
    void setInputLen(int length) override { inner_->setInputLen(length); }
    QByteArray input() override {
        QByteArray bytes = inner_->input();
        log_.write(bytes);
        return bytes;
    }
    bool output(const QByteArray& bytes) override { return inner_->output(bytes); }
    int outBufferCount() override { return inner_->outBufferCount(); }
    int commEvent() const override { return inner_->commEvent(); }
    bool waitForInput(int msecs) override { return inner_->waitForInput(msecs); }
    bool waitForOutput(int msecs) override { return inner_->waitForOutput(msecs); }
    QString deviceName() const override { return inner_->deviceName(); }
    QString deviceOverride() const override { return inner_->deviceOverride(); }

private:
    std::unique_ptr<SerialPort> inner_;
    SessionLog& log_;
};

// The file the command reads or writes, if it names one.
std::optional<QString> commandFile(const Options& options) {
    static const QStringList withFile{QStringLiteral("load"), QStringLiteral("dload"),
                                      QStringLiteral("receive"), QStringLiteral("auto")};
    if (!withFile.contains(options.command) || options.arguments.isEmpty()) return std::nullopt;
    const QString& file = options.arguments.front();
    if (options.command == QLatin1String("auto") && file == QLatin1String("-")) return std::nullopt;
    return file;
}

// Two names for one file: the same file when both exist (links and other
// spellings included), else the same absolute path.
bool sameFile(const QString& a, const QString& b) {
    struct stat infoA {};
    struct stat infoB {};
    if (::stat(QFile::encodeName(a).constData(), &infoA) == 0 &&
        ::stat(QFile::encodeName(b).constData(), &infoB) == 0)
        return infoA.st_dev == infoB.st_dev && infoA.st_ino == infoB.st_ino;
    return QDir::cleanPath(QFileInfo(a).absoluteFilePath()) ==
           QDir::cleanPath(QFileInfo(b).absoluteFilePath());
}

std::optional<QString> openLog(std::unique_ptr<SessionLog>& log, SessionLog::Mode mode,
                               const QString& path, const Options& options, CliHost& host) {
    // A log in the command's own file feeds on itself: a watched auto file
    // would run again for every line it logs.
    if (const auto file = commandFile(options); file && sameFile(path, *file))
        return QStringLiteral("cannot open the log %1: it is the command's own file").arg(path);
    auto opened = std::make_unique<SessionLog>(mode);
    if (const auto error = opened->open(path))
        return QStringLiteral("cannot open the log %1: %2").arg(path, *error);
    // One line on standard error; the command goes on without its log.
    opened->setFailureHandler([&host](const QString& text) { host.note(text); });
    log = std::move(opened);
    return std::nullopt;
}

} // namespace

std::optional<QString> CliLogs::open(const Options& options, CliHost& host) {
    if (!options.logPath.isEmpty()) {
        if (auto error = openLog(text_, SessionLog::Mode::Text, options.logPath, options, host))
            return error;
        text_->setTimestamps(options.timestamps);
        host.setSessionLog(text_.get());
    }
    if (!options.rawLogPath.isEmpty())
        return openLog(raw_, SessionLog::Mode::Raw, options.rawLogPath, options, host);
    return std::nullopt;
}

CliLogs::~CliLogs() {
    // Closed while standard error is still there to hear of a log that was
    // removed after its last line.
    for (SessionLog* log : {raw_.get(), text_.get()})
        if (log) log->close();
}

std::unique_ptr<SerialPort> CliLogs::tap(std::unique_ptr<SerialPort> port) {
    if (!raw_ || !port) return port;
    return std::make_unique<RawLoggedPort>(std::move(port), *raw_);
}

} // namespace kestrel::cli
