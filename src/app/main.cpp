// Kestrel: a serial terminal for the Net Yaroze console's resident monitor.
#include "AppIdentity.h"
#include "MainDialog.h"
#include "PortFactory.h"
#include "SimulatorLauncher.h"
#include "WidgetDialogs.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QMessageBox>
#include <QTimer>

#include <memory>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    kestrel::nameApplication();
    // Ties the window to kestrel.desktop (its icon and name in the task bar).
    QGuiApplication::setDesktopFileName(QStringLiteral("kestrel"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Serial terminal and loader for the Net Yaroze console."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("Open DEVICE (e.g. /dev/ttyACM0 or a pseudo-terminal) instead of the "
                       "stored port number, for this session; rfc2217://HOST:PORT or "
                       "tcp://HOST:PORT connects to a serial line served over the network."),
        QStringLiteral("DEVICE"));
    parser.addOption(portOption);
    const QCommandLineOption simulatorOption(
        QStringLiteral("simulator"),
        QStringLiteral("Start the monitor simulator and connect to it (no console needed)."));
    parser.addOption(simulatorOption);
    parser.addPositionalArgument(QStringLiteral("autofile"),
                                 QStringLiteral("An auto file (.sio) to run once started."),
                                 QStringLiteral("[autofile]"));
    parser.process(app);

    // A device path or a network name (rfc2217://, tcp://) picks the component.
    QString portName = parser.value(portOption);
    kestrel::SimulatorLauncher simulator;
    if (parser.isSet(simulatorOption)) {
        if (const auto device = simulator.start()) {
            portName = *device;
        } else {
            QMessageBox::critical(nullptr, QStringLiteral("Kestrel"), simulator.error());
            return 2;
        }
    }

    QString portNameError;
    auto port = kestrel::makeSerialPort(portName, &portNameError);
    if (!port) {
        QMessageBox::critical(nullptr, QStringLiteral("Kestrel"), portNameError);
        return 2;
    }
    kestrel::SerialPort* portEvents = port.get();

    kestrel::WidgetDialogs dialogs;
    kestrel::MainDialog window(std::move(port), dialogs);
    QObject::connect(portEvents, &kestrel::SerialPort::notice, &window,
                     [&window](const QString& t) {
                         window.appendToTerminal("\r*** " + t.toLocal8Bit() + " ***\r");
                     });
    window.initialise();
    window.show();
    if (!parser.positionalArguments().isEmpty()) {
        const QString autoFile = parser.positionalArguments().front();
        QTimer::singleShot(0, &window, [&window, autoFile] { window.runAutoFile(autoFile); });
    }
    return app.exec();
}
