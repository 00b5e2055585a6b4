#pragma once
// The serial component for a port name: a network port for
// "rfc2217://HOST:PORT" and "tcp://HOST:PORT", the device component for a
// device path (a relative one taken from the working folder), or, with an
// empty name, for the stored port number.
#include "SerialPort.h"

#include <QString>

#include <memory>

namespace kestrel {

// A network name that does not parse gives nullptr and sets *error.
std::unique_ptr<SerialPort> makeSerialPort(const QString& name, QString* error = nullptr);

} // namespace kestrel
