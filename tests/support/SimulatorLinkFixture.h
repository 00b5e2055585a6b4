#pragma once
// A fixture for end-to-end tests: the monitor simulator on a pseudo-terminal,
// Kestrel's own serial component opened on it at 115200, and a MonitorLink on
// the real clock whose pumping runs the event loop as the window's does, so
// the port's receive events reach the receive path.
#include "MonitorLink.h"
#include "QtSerialPortComponent.h"
#include "RecorderHost.h"
#include "Simulator.h"

#include <gtest/gtest.h>

namespace kestrel::test {

class SimulatorLinkFixture : public ::testing::Test {
protected:
    explicit SimulatorLinkFixture(const QStringList& simulatorOptions = {});
    void SetUp() override;

    Simulator sim;
    TestClock clock{false};
    RecorderHost host{clock};
    QtSerialPortComponent port;
    MonitorLink link{port, host};
};

} // namespace kestrel::test
