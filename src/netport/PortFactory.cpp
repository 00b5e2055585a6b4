#include "PortFactory.h"

#include "NetworkAddress.h"
#include "NetworkSerialPort.h"
#include "QtSerialPortComponent.h"

#include <QFileInfo>

namespace kestrel {

std::unique_ptr<SerialPort> makeSerialPort(const QString& name, QString* error) {
    if (NetworkAddress::looksLikeNetworkName(name)) {
        if (const auto address = NetworkAddress::parse(name))
            return std::make_unique<NetworkSerialPort>(*address, name);
        if (error)
            *error = QStringLiteral("'%1' is not a network port name (expected rfc2217://HOST:PORT "
                                    "or tcp://HOST:PORT, an IPv6 address in brackets)")
                         .arg(name);
        return nullptr;
    }
    auto port = std::make_unique<QtSerialPortComponent>();
#ifdef Q_OS_WIN
    port->setDeviceOverride(name);
#else
    // A name without a folder is a file of the working folder, like any other
    // file the program is given; the serial library would look for it in /dev.
    port->setDeviceOverride(name.isEmpty() ? name : QFileInfo(name).absoluteFilePath());
#endif
    return port;
}

} // namespace kestrel
