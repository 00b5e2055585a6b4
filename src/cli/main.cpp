// kestrel-cli: the window's conversation, transfers and interpreter for
// scripts and build loops.
#include "CliCommands.h"
#include "CliHost.h"
#include "CliOptions.h"
#include "ConsoleIo.h"
#include "DeviceMap.h"
#include "LineSettings.h"
#include "MonitorLink.h"
#include "PortFactory.h"
#include "PortProfile.h"

#include <QCoreApplication>
#include <QSettings>

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
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Tamsworth"));
    QCoreApplication::setApplicationName(QStringLiteral("Kestrel"));

    const ParseResult parsed = parseCommandLine(app.arguments().mid(1));
    if (const auto* usage = std::get_if<Usage>(&parsed)) {
        std::fputs(usage->text.toLocal8Bit().constData(), usage->exitStatus ? stderr : stdout);
        return usage->exitStatus;
    }
    const Options& options = std::get<Options>(parsed);

    CliHost host(stdout, stderr, !options.quiet);
    // A device path or a network name (rfc2217://, tcp://) picks the component.
    QString portNameError;
    const auto portObject = makeSerialPort(options.port, &portNameError);
    if (!portObject) {
        host.note(portNameError);
        return ExitUsage;
    }
    SerialPort& port = *portObject;
    QObject::connect(&port, &SerialPort::notice, [&host](const QString& text) { host.note(text); });
    applyStoredDefaults(port);
    if (!options.settings.isEmpty() && !port.setSettings(options.settings)) {
        host.note(QStringLiteral("line settings '%1' refused (expected speed,parity,data,stop "
                                 "such as 115200,n,8,1)")
                      .arg(options.settings));
        return ExitUsage;
    }
    port.setHandshaking(options.flow);
    port.setRThreshold(1);
    if (!port.setPortOpen(true)) {
        host.note(QStringLiteral("cannot open %1: %2").arg(port.deviceName(), port.lastError()));
        return ExitUsage;
    }

    MonitorLink link(port, host);
    QObject::connect(&port, &SerialPort::onComm, [&link] { link.onCommEvent(); });
    // Said once, whatever is running: a transfer then fails on its own terms
    // and the terminal ends.
    bool lossReported = false;
    QObject::connect(&port, &SerialPort::deviceLost, [&host, &lossReported](const QString& reason) {
        host.note(reason);
        lossReported = true;
    });
    // Ctrl-C is the Stop button.
    InterruptBridge interrupts([&link] { link.stopTransfer(); });

    Session session{link, port, host};
    int status = runCommand(session, options);
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
    if (options.thenTerminal && options.command != QLatin1String("term") && !host.quitRequested() &&
        port.portOpen()) {
        const int termStatus = runTerminal(session);
        if (status == ExitOk) status = termStatus;
    }
    host.endOpenLine();
    port.setPortOpen(false);
    return status;
}
