#pragma once
// Which device a port number opens on this platform.
//
// Linux: COM1-COM4 are the on-board UARTs /dev/ttyS0-/dev/ttyS3, and COM5 and
// above are USB adapters counted on from /dev/ttyUSB0 (COM5 = ttyUSB0, COM9 =
// ttyUSB4, ...). Anything else (ttyACM, a pseudo-terminal, a symlink) is
// reached with a device override (`--port DEVICE`). Windows: COMn.
#include <QString>

#include <optional>

namespace kestrel {

// Port numbers a user can choose: 1 to 255, the COM numbers Windows gives serial ports.
constexpr int FirstCommPort = 1;
constexpr int LastCommPort = 255;

bool isValidCommPort(int number);

// The device path (or Windows port name) for a port number; empty when the
// number is outside FirstCommPort..LastCommPort.
QString deviceForCommPort(int number);

// The ports a user may name as "COM1" to "COM8" where a device is asked for:
// the Com buttons of the Port Settings dialog.
constexpr int LastNamedCommPort = 8;

// The number in a port name of the form "COMn" (any case, n decimal digits),
// in range or not; nullopt for any other text.
std::optional<int> commPortInName(const QString& name);

} // namespace kestrel
