#include "SimulatorLinkFixture.h"
#include "LineText.h"

#include <QCoreApplication>

namespace kestrel::test {

SimulatorLinkFixture::SimulatorLinkFixture(const QStringList& simulatorOptions)
    : sim(simulatorOptions) {}

void SimulatorLinkFixture::SetUp() {
    ASSERT_FALSE(sim.devicePath().isEmpty());
    host.onPump = [] { QCoreApplication::processEvents(); };
    QObject::connect(&port, &SerialPort::onComm, [this] { link.onCommEvent(); });
    port.setDeviceOverride(sim.devicePath());
    ASSERT_TRUE(port.setSettings(line("115200,n,8,1")));
    ASSERT_TRUE(port.setPortOpen(true)) << port.lastError().toStdString();
    port.setRThreshold(1);
}

} // namespace kestrel::test
