// kestrel-cli: the window's conversation, transfers and interpreter for
// scripts and build loops.
#include "AppIdentity.h"
#include "CliCommands.h"
#include "CliHost.h"
#include "CliLogs.h"
#include "CliOptions.h"
#include "ConsoleIo.h"
#include "DeviceMap.h"
#include "LineSettings.h"
#include "MonitorLink.h"
#include "PortFactory.h"
#include "PortProfile.h"
#include "Watch.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>

#include <csignal>
#include <cstdio>

using namespace kestrel;
using namespace kestrel::cli;

namespace {

// The window's stored port and line settings, read as data only; nothing is
// written back.
void applyStoredDefaults(SerialPort& port) {
    applyStoredPortChoice(port, QSettings());
}

} // namespace

int main(int argc, char** argv) {
    // A closed descriptor 0 would otherwise be taken by the first thing the
    // program opens, and `term` would read from it.
    openStandardDescriptors();
    // A reader of standard output that goes away must not end a transfer:
    // the failed write is noticed and output stops there.
    std::signal(SIGPIPE, SIG_IGN);
    // A log that reaches the file-size limit fails its write with the reason,
    // as a full disk does, instead of killing the program.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    kestrel::nameApplication();

    const ParseResult parsed = parseCommandLine(app.arguments().mid(1));
    if (const auto* usage = std::get_if<Usage>(&parsed)) {
        std::fputs(usage->text.toLocal8Bit().constData(), usage->exitStatus ? stderr : stdout);
        return usage->exitStatus;
    }
    const Options& options = std::get<Options>(parsed);
    if (options.command == QLatin1String("ports")) return listPorts(stdout, stderr);

    CliHost host(stdout, stderr, !options.quiet);
    // A console program may colour the interactive terminal; the commands
    // show its bytes, they do not let it drive the user's terminal.
    const bool attached = options.command == QLatin1String("term") || options.watch;
    host.setVisibleControls(!attached || options.visibleControls);
    CliLogs logs;
    if (const auto error = logs.open(options, host)) {
        host.note(*error);
        return ExitUsage;
    }
    // A device path or a network name (rfc2217://, tcp://) picks the component;
    // COM1 to COM8 are the port numbers the window's Com buttons stand for.
    const std::optional<int> commPort = commPortInName(options.port);
    QString portNameError;
    const auto portObject =
        logs.tap(makeSerialPort(commPort ? QString() : options.port, &portNameError));
    if (!portObject) {
        host.note(portNameError);
        return ExitUsage;
    }
    SerialPort& port = *portObject;
    QObject::connect(&port, &SerialPort::notice, [&host](const QString& text) { host.note(text); });
    applyStoredDefaults(port);
    if (commPort) port.setCommPort(*commPort);
    if (!options.settings.isEmpty() && (!options.line || !port.setSettings(*options.line))) {
        host.note(QStringLiteral("line settings '%1' refused (expected speed,parity,data,stop "
                                 "such as 115200,n,8,1)")
                      .arg(options.settings));
        return ExitUsage;
    }
    port.setFlowControl(options.flow);
    port.setRThreshold(1);
    if (!port.setPortOpen(true)) {
        host.note(QStringLiteral("cannot open %1: %2").arg(port.deviceName(), port.lastError()));
        // A bare name is a file of the working folder; say so when /dev has it.
        const QString inDev = QStringLiteral("/dev/") + options.port;
        if (!commPort && !options.port.isEmpty() && !options.port.contains(u'/') &&
            QFileInfo::exists(inDev))
            host.note(QStringLiteral("%1 is a device: give it as -p %1").arg(inDev));
        if (options.port.isEmpty() && !hasStoredPort(QSettings())) {
            const QStringList devices = serialDevices();
            host.note(QStringLiteral(
                          "no port was given or stored (-p DEVICE), so COM%1 (%2) was tried; %3 "
                          "(`kestrel-cli ports` lists them)")
                          .arg(port.commPort())
                          .arg(port.deviceName(),
                               devices.isEmpty() ? QStringLiteral("no serial devices were found")
                                                 : QStringLiteral("serial devices here: ") +
                                                       devices.join(QStringLiteral(", "))));
        }
        return ExitUsage;
    }

    MonitorLink link(port, host);
    link.setVerifyDownloads(options.verify);
    QObject::connect(&port, &SerialPort::onComm, [&link] { link.onCommEvent(); });
    // Said once, whatever is running: a transfer then fails on its own terms.
    // The terminal and the watch stay, and the port looks for the device
    // every second, as the window does.
    bool lossReported = false;
    Session* running = nullptr;
    QObject::connect(&port, &SerialPort::deviceLost, [&](const QString& reason) {
        host.note(running && running->waitsForDevice
                      ? reason + QStringLiteral("; trying to reopen it every second")
                      : reason);
        lossReported = true;
    });
    QObject::connect(&port, &SerialPort::deviceRestored,
                     [&host, &port] { host.note(portReopenedText(port)); });
    // Ctrl-C is the Stop button. SIGTERM and SIGHUP stop a running command
    // the same way (its ending bytes still go out) and then end the program.
    InterruptBridge interrupts([&running](int) {
        if (running) stopRunning(*running);
    });
    Session session{link, port, host, interrupts};
    running = &session;
    // A lost device ends a sleeping auto file at once; it then ends itself.
    QObject::connect(&port, &SerialPort::deviceLost, [&host] { host.interruptSleep(); });

    int status = options.watch ? runWatch(session, options) : runCommand(session, options);
    // The outcome is told, and the port closed, only once what was sent has
    // crossed the line. The console's answers meanwhile are not shown: they
    // stay for a terminal that follows.
    const auto deliver = [&] {
        if (interrupts.endingSignal() != 0) return;
        ReceiveEventsOff quiet(port);
        status = deliverSent(session, status);
    };
    deliver();
    if (const int sig = interrupts.endingSignal(); sig != 0) {
        host.endOpenLine();
        port.setPortOpen(false);
        // A command that was running was stopped (and says so with 1); only
        // an idle terminal ends with the signal's own status. The watch has
        // told which it was.
        if (options.watch) return status;
        return options.command == QLatin1String("term") ? 128 + sig : ExitTransferFailed;
    }
    host.endOpenLine();
    // A loss noticed during the command's last step is announced from the
    // event loop; let it through before deciding what to say and how to exit.
    // Whatever the console says meanwhile (the prompt after a transfer) is
    // not printed by chance of timing; it stays for a terminal that follows.
    {
        ReceiveEventsOff quiet(port);
        QCoreApplication::processEvents();
    }
    if (!port.portOpen() && !lossReported && !port.lastError().isEmpty()) {
        host.note(port.lastError());
        lossReported = true;
    }
    // The watch was a terminal all along.
    if (options.thenTerminal && !options.watch && options.command != QLatin1String("term") &&
        !host.quitRequested() && port.portOpen()) {
        const int termStatus = runTerminal(session);
        if (status == ExitOk) status = termStatus;
        deliver();
    }
    host.endOpenLine();
    port.setPortOpen(false);
    return status;
}
