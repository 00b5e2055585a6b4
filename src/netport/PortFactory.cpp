#include "PortFactory.h"

#include "NetworkAddress.h"
#include "NetworkSerialPort.h"
#include "QtSerialPortComponent.h"

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
    port->setDeviceOverride(name);
    return port;
}

} // namespace kestrel
