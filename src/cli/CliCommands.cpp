#include "CliCommands.h"

#include "AutoFile.h"
#include "CliHost.h"
#include "ConsoleIo.h"
#include "DataDownload.h"
#include "LocalCommand.h"
#include "MonitorLink.h"
#include "NumberText.h"
#include "ReceiveFile.h"
#include "SerialPort.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel::cli {

namespace {

int exitStatusFor(TransferOutcome outcome) {
    switch (outcome) {
    case TransferOutcome::Completed:
        return ExitOk;
    case TransferOutcome::Failed:
    case TransferOutcome::Stopped:
        return ExitTransferFailed;
    case TransferOutcome::NotStarted:
        return ExitUsage;
    }
    return ExitTransferFailed;
}

// Only regular files are loaded: a device or a pipe has no length to put in
// the header, and /dev/zero would never end.
bool isLoadable(Session& s, const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || S_ISREG(st.st_mode)) return true;
    s.host.note(QStringLiteral("%1: not a regular file").arg(path));
    return false;
}

int load(Session& s, const QString& path) {
    if (!isLoadable(s, path)) return ExitUsage;
    MonitorLink::Operation operation(s.link);
    TransferHold hold(s.link);
    const QByteArray name = QFile::encodeName(path);
    const LocalCommandResult result = runLocalCommand(s.link, "load", name, name, name);
    return exitStatusFor(result.transfer.value_or(TransferOutcome::NotStarted));
}

int dload(Session& s, const QString& path, const QString& addressText) {
    if (!isLoadable(s, path)) return ExitUsage;
    MonitorLink::Operation operation(s.link);
    TransferHold hold(s.link);
    return exitStatusFor(downloadDataFile(s.link, path, parseHex32(addressText.toLatin1())));
}

// What became of a receive that did not finish, said with the count.
void notePartial(Session& s, const ReceiveCapture& capture, const QString& why) {
    const QString kept = capture.received() > 0
                             ? QStringLiteral("; they are kept in %1, %2 is as it was")
                                   .arg(capture.partialPath(), capture.path())
                             : QStringLiteral("; %1 is as it was").arg(capture.path());
    s.host.note(QStringLiteral("%1: %2 of %3 bytes arrived%4")
                    .arg(why)
                    .arg(capture.received())
                    .arg(capture.expected())
                    .arg(kept));
}

int receive(Session& s, const QStringList& args) {
    MonitorLink::Operation operation(s.link);
    ReceiveCapture capture(s.link);
    s.capture = &capture;
    const auto forget = qScopeGuard([&s] { s.capture = nullptr; });
    QEventLoop loop;
    std::optional<TransferOutcome> finished;
    capture.onFinished = [&](TransferOutcome outcome, quint32) {
        finished = outcome;
        loop.quit();
    };
    const ReceiveStart start = receiveDataFileCommand(s.link, capture, [&] {
        return std::optional<ReceiveRequest>(ReceiveRequest{args[0], args[1], args[2]});
    });
    switch (start) {
    case ReceiveStart::Capturing:
        break;
    case ReceiveStart::NoPrompt:
        return ExitTransferFailed;
    default:
        return ExitUsage;
    }
    // A device that went away while the request went out is gone before the
    // wait could hear of it.
    if (!finished && s.port.portOpen()) {
        // Ends when the block is in the file, or when the line has been quiet.
        QTimer quiet;
        quiet.setSingleShot(true);
        quiet.setInterval(ReceiveQuietMs);
        QObject::connect(&quiet, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(&s.port, &SerialPort::onComm, &quiet, qOverload<>(&QTimer::start));
        QObject::connect(&s.port, &SerialPort::onComm, &loop,
                         [&] { s.host.transferProgress(capture.received(), capture.expected()); });
        QObject::connect(&s.port, &SerialPort::deviceLost, &loop, &QEventLoop::quit);
        s.host.transferProgress(0, capture.expected());
        quiet.start();
        loop.exec();
    }
    if (!finished) {
        const QString why = s.port.portOpen() ? QStringLiteral("the line went quiet")
                                              : QStringLiteral("the device went away");
        capture.stop();
        notePartial(s, capture, why);
        return ExitTransferFailed;
    }
    switch (*finished) {
    case TransferOutcome::Completed:
        s.host.note(QStringLiteral("%1 bytes received into %2")
                        .arg(capture.received())
                        .arg(capture.path()));
        return ExitOk;
    case TransferOutcome::Stopped:
        notePartial(s, capture, QStringLiteral("receive stopped"));
        return ExitTransferFailed;
    default:
        return ExitTransferFailed;
    }
}

int autoFile(Session& s, const QString& path) {
    MonitorLink::Operation operation(s.link);
    AutoRunner runner(s.link);
    // "-" is standard input, read as a stream like any pipe.
    const QString file = path == QLatin1String("-") ? QStringLiteral("/dev/stdin") : path;
    const AutoRunResult result = runner.runAutoFile(file, TransferHold(s.link));
    switch (result.end) {
    case AutoRunResult::End::NotOpened:
        return ExitUsage;
    case AutoRunResult::End::Stopped:
    case AutoRunResult::End::ReadError:
    case AutoRunResult::End::DeviceLost:
        return ExitTransferFailed;
    case AutoRunResult::End::Completed:
        break;
    }
    return result.failedTransfers > 0 ? ExitTransferFailed : ExitOk;
}

// Reads what is waiting on standard input without blocking: the bytes, or an
// empty array at its end.
std::optional<QByteArray> readStdin() {
    char buffer[4096];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n > 0) return QByteArray(buffer, n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return std::nullopt;
    return QByteArray();
}

} // namespace

void stopRunning(Session& s) {
    s.link.stopTransfer();
    if (s.capture) s.capture->stop();
}

QStringList serialDevices() {
    QStringList found;
    const auto add = [&found](const QString& folder, const QStringList& patterns) {
        const QDir dir(folder);
        for (const QFileInfo& entry : dir.entryInfoList(
                 patterns, QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name)) {
            const QString target = entry.symLinkTarget();
            found << (target.isEmpty() ? entry.filePath()
                                       : QStringLiteral("%1 -> %2").arg(entry.filePath(), target));
        }
    };
    add(QStringLiteral("/dev"), {QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*")});
    add(QStringLiteral("/dev/serial/by-id"), {QStringLiteral("*")});
    return found;
}

int listPorts(std::FILE* out, std::FILE* err) {
    const QStringList devices = serialDevices();
    errno = 0;
    if (devices.isEmpty())
        std::fputs("no serial devices found (/dev/ttyUSB*, /dev/ttyACM*, /dev/serial/by-id/*)\n",
                   out);
    for (const QString& d : devices)
        std::fprintf(out, "%s\n", d.toLocal8Bit().constData());
    // The list is all this command gives: a list that did not arrive fails it.
    if (std::fflush(out) == 0 && !std::ferror(out)) return ExitOk;
    std::fprintf(err, "kestrel-cli: %s\n", outputFailure(errno).toLocal8Bit().constData());
    return ExitTransferFailed;
}

int deliverSent(Session& s, int status) {
    const int failed = status == ExitOk ? ExitTransferFailed : status;

    switch (s.link.finishSending()) {
    case MonitorLink::Delivery::Delivered:
        return status;
    case MonitorLink::Delivery::Stopped:
        // SIGTERM and SIGHUP end the program with a status of their own.
        if (s.interrupts.endingSignal() != 0) return status;
        s.host.note(QStringLiteral("stopped before everything sent had crossed the line to %1")
                        .arg(s.port.deviceName()));
        return failed;
    case MonitorLink::Delivery::DeviceLost:
        return failed; // the loss has been said
    case MonitorLink::Delivery::TimedOut:
        break;
    }
    s.host.note(QStringLiteral("%1 bytes could not be sent to %2: the line did not take them in "
                               "time")
                    .arg(s.port.outBufferCount())
                    .arg(s.port.deviceName()));
    return failed;
}

int runCommand(Session& s, const Options& o) {
    const QStringList& a = o.arguments;
    if (o.command == QLatin1String("load")) return load(s, a[0]);
    if (o.command == QLatin1String("dload")) return dload(s, a[0], a[1]);
    if (o.command == QLatin1String("receive")) return receive(s, a);
    if (o.command == QLatin1String("auto")) return autoFile(s, a[0]);
    return runTerminal(s);
}

int runTerminal(Session& s) {
    QEventLoop loop;
    int status = ExitOk;
    // A lost device does not end the terminal: the port looks for it again.
    s.waitsForDevice = true;
    const auto done = qScopeGuard([&s] { s.waitsForDevice = false; });
    QObject::connect(&s.interrupts, &InterruptBridge::endRequested, &loop, [&] {
        status = 128 + s.interrupts.endingSignal();
        loop.quit();
    });
    if (s.interrupts.endingSignal() != 0) return 128 + s.interrupts.endingSignal();
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);

    if (::isatty(STDIN_FILENO) == 1) {
        s.host.note(
            QStringLiteral("connected to %1; Ctrl-] ends the terminal").arg(s.port.deviceName()));
        RawTerminal raw;
        QObject::connect(&input, &QSocketNotifier::activated, &loop, [&] {
            const auto bytes = readStdin();
            if (!bytes) return;
            if (bytes->isEmpty()) return loop.quit();
            // Each key goes to the console as one byte, at the moment it is typed.
            // Sending pumps messages: keys read meanwhile would overtake these.
            input.setEnabled(false);
            for (char c : *bytes) {
                if (c == 0x1d) return loop.quit(); // Ctrl-]
                MonitorLink::Operation keystroke(s.link);
                s.link.sendText(QByteArray(1, c));
            }
            input.setEnabled(true);
        });
        loop.exec();
        return status;
    }

    // Piped: the monitor ends lines at CR, so newlines go out as CR. While
    // the device is gone the input waits for it, and so does the end.
    QTimer quiet;
    quiet.setSingleShot(true);
    quiet.setInterval(PipeQuietMs);
    QObject::connect(&quiet, &QTimer::timeout, &loop, [&] {
        if (s.port.portOpen()) loop.quit();
    });
    bool inputEnded = false;
    QObject::connect(&s.port, &SerialPort::onComm, &loop, [&] {
        if (inputEnded) quiet.start();
    });
    QObject::connect(&s.port, &SerialPort::deviceRestored, &loop, [&] {
        if (inputEnded)
            quiet.start();
        else
            input.setEnabled(true);
    });
    QObject::connect(&input, &QSocketNotifier::activated, &loop, [&] {
        if (!s.port.portOpen()) {
            input.setEnabled(false);
            return;
        }
        const auto bytes = readStdin();
        if (!bytes) return;
        if (bytes->isEmpty()) {
            input.setEnabled(false);
            // The console answers the last lines only once they have crossed
            // the line; the quiet time counts from then.
            if (const int sent = deliverSent(s, ExitOk); sent != ExitOk) {
                status = sent;
                return loop.quit();
            }
            inputEnded = true;
            quiet.start();
            return;
        }
        QByteArray out = *bytes;
        out.replace('\n', '\r');
        MonitorLink::Operation operation(s.link);
        // Sending pumps messages: input read meanwhile would overtake this.
        input.setEnabled(false);
        s.link.sendText(out);
        input.setEnabled(true);
    });
    loop.exec();
    return status;
}

} // namespace kestrel::cli
