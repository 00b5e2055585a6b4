#pragma once
// `kestrel --simulator`: starts the project's monitor simulator as a child
// process and hands back the device it opened, so a newcomer without a
// console can type at a monitor and download programs. The child is stopped
// when the launcher goes.
#include <QProcess>
#include <QString>

#include <optional>

namespace kestrel {

class SimulatorLauncher {
public:
    SimulatorLauncher() = default;
    ~SimulatorLauncher();
    SimulatorLauncher(const SimulatorLauncher&) = delete;
    SimulatorLauncher& operator=(const SimulatorLauncher&) = delete;

    // The simulator program: next to this program, in the build tree, or on
    // the PATH; empty when none is found.
    static QString findProgram();

    // Starts it and waits (up to a few seconds) for the device it names on its
    // first line. nullopt on failure; error() says why.
    std::optional<QString> start(const QString& program = findProgram());
    QString error() const { return error_; }

private:
    QProcess process_;
    QString error_;
};

} // namespace kestrel
