#pragma once
// A main window on a fake serial port, a scripted dialog seam and the test
// clock, with a settings store that starts out holding a working port.
#include "FakeSerialPort.h"
#include "MainDialog.h"
#include "RecorderHost.h"
#include "ScriptedDialogs.h"
#include "TestFiles.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
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
        window->setClock([this] { return clock.nowMs(); });
        window->initialise();
        if (show) showWindow();
    }

    void showWindow() {
        window->show();
        QCoreApplication::processEvents();
    }

    static QVariant stored(const QString& key) { return QSettings().value(key); }

    // A file of the test's own, removed with the fixture.
    QString writeFile(const QString& name, const QByteArray& bytes) {
        return kestrel::test::writeTestFile(files, name, bytes);
    }

    // Lets a test change the port before the window opens it.
    std::function<void(FakeSerialPort&)> configurePort = [](FakeSerialPort&) {};

    QTemporaryDir files;
    TestClock clock;
    ScriptedDialogs dialogs;
    FakeSerialPort* port = nullptr;
    std::unique_ptr<MainDialog> window;
};

// A monitor that takes a binary write: prompt, a Y per frame, "end binary".
// onFrame runs once a frame's checksum has come, with its Y already waiting;
// onFrameStart when a frame's 0x02 has.
inline void answerLikeTheMonitor(FakeSerialPort& port, std::function<void(int frames)> onFrame,
                                 std::function<void()> onFrameStart = {}) {
    port.responder = [&port, onFrame, onFrameStart, frames = 0,
                      sumNext = false](const QByteArray& w) mutable {
        if (w == "bwr\r") {
            port.deliver("bwr\r\nbinary\r\n");
        } else if (w.size() == FrameSize) {
            sumNext = true;
        } else if (sumNext) {
            sumNext = false;
            port.deliver("Y");
            onFrame(++frames);
        } else if (w == "\x02") {
            if (onFrameStart) onFrameStart();
        } else if (w == "\x03") {
            port.deliver("end binary\r\n");
        }
    };
}

} // namespace kestrel::test
