#include "CliLogs.h"

#include "CliHost.h"
#include "CliOptions.h"
#include "SerialPort.h"

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
    }

    bool setCommPort(int number) override { return inner_->setCommPort(number); }
    int commPort() const override { return inner_->commPort(); }
    bool setSettings(const QString& text) override { return inner_->setSettings(text); }
    QString settings() const override { return inner_->settings(); }
    bool setHandshaking(int mode) override { return inner_->setHandshaking(mode); }
    int handshaking() const override { return inner_->handshaking(); }
    bool setPortOpen(bool open) override { return inner_->setPortOpen(open); }
    bool portOpen() const override { return inner_->portOpen(); }
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

std::optional<QString> openLog(std::unique_ptr<SessionLog>& log, SessionLog::Mode mode,
                               const QString& path, CliHost& host) {
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
        if (auto error = openLog(text_, SessionLog::Mode::Text, options.logPath, host))
            return error;
        text_->setTimestamps(options.timestamps);
        host.setSessionLog(text_.get());
    }
    if (!options.rawLogPath.isEmpty())
        return openLog(raw_, SessionLog::Mode::Raw, options.rawLogPath, host);
    return std::nullopt;
}

std::unique_ptr<SerialPort> CliLogs::tap(std::unique_ptr<SerialPort> port) {
    if (!raw_ || !port) return port;
    return std::make_unique<RawLoggedPort>(std::move(port), *raw_);
}

} // namespace kestrel::cli
