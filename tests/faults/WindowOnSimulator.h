#pragma once
// The real main window on Kestrel's own serial component, with the monitor
// simulator at the far end of a pseudo-terminal. The conversation's line
// times and time-outs run on a steady clock four times as fast as the real
// one, so a monitor that never answers costs half a second, not two.
#include "ControlIds.h"
#include "MainDialog.h"
#include "QtSerialPortComponent.h"
#include "ScriptedDialogs.h"
#include "Simulator.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace kestrel::test {

class WindowOnSimulator : public ::testing::Test {
protected:
    ~WindowOnSimulator() override;

    // Starts the simulator with `options` and opens the window on it (or on
    // `device`, a link the simulator keeps pointing at its current device).
    void start(const QStringList& options, const QString& device = {});

    QString writeFile(const QString& name, const QByteArray& bytes);
    static QByteArray pattern(qsizetype size);

    // Runs `action` from the event loop once `ready` holds, looked at every
    // time the window dispatches messages (inside the transfers' waits too).
    void when(std::function<bool()> ready, std::function<void()> action);
    // A menu or key command, timed.
    qint64 runTimed(int command);

    // Nothing left held: no transfer, no suppressed display, receive events
    // on, no operation running.
    void expectReleased() const;
    QString field(int id) const { return window->field(id)->text(); }
    QByteArray terminalText() const;
    // Types a line into the terminal and waits for the monitor's prompt.
    bool typeAndSeePrompt(const QString& line);

    QTemporaryDir dir;
    std::unique_ptr<Simulator> sim;
    ScriptedDialogs dialogs;
    QtSerialPortComponent* port = nullptr;
    std::unique_ptr<MainDialog> window;

private:
    QElapsedTimer clock_;
    QTimer watch_;
};

} // namespace kestrel::test
