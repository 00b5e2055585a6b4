#pragma once
// A main window on a fake serial port, a scripted dialog seam and the test
// clock, with a settings store that starts out holding a working port.
#include "FakeSerialPort.h"
#include "MainDialog.h"
#include "RecorderHost.h"
#include "ScriptedDialogs.h"

#include <QCoreApplication>
#include <QSettings>

#include <gtest/gtest.h>

#include <memory>

namespace kestrel::test {

class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        QCoreApplication::setOrganizationName(QStringLiteral("Tamsworth"));
        QCoreApplication::setApplicationName(QStringLiteral("Kestrel"));
        QSettings store;
        store.clear();
        store.setValue(QStringLiteral("Config/CommPort"), 1);
        store.setValue(QStringLiteral("Config/CommSettings"), QStringLiteral("9600,n,8,1"));
    }

    void TearDown() override {
        window.reset();
        QCoreApplication::processEvents();
    }

    // Creates and initialises the window; shown unless the test wants to
    // look at it before the first layout.
    void open(bool show = true) {
        auto fake = std::make_unique<FakeSerialPort>(clock);
        port = fake.get();
        configurePort(*port);
        window = std::make_unique<MainDialog>(std::move(fake), dialogs);
        window->setClock([this] { return clock.nowMs() / 1000; });
        window->initialise();
        if (show) showWindow();
    }

    void showWindow() {
        window->show();
        QCoreApplication::processEvents();
    }

    static QVariant stored(const QString& key) { return QSettings().value(key); }

    // Lets a test change the port before the window opens it.
    std::function<void(FakeSerialPort&)> configurePort = [](FakeSerialPort&) {};

    TestClock clock;
    ScriptedDialogs dialogs;
    FakeSerialPort* port = nullptr;
    std::unique_ptr<MainDialog> window;
};

} // namespace kestrel::test
