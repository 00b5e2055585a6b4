#include "SimulatorLauncher.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

#include <csignal>
#include <sys/prctl.h>

namespace kestrel {

namespace {
constexpr auto ProgramName = "kestrel-monitor-sim";
constexpr int StartTimeoutMs = 5000;
} // namespace

SimulatorLauncher::~SimulatorLauncher() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate(); // SIGTERM: the simulator closes its device and exits
    if (!process_.waitForFinished(2000)) process_.kill(), process_.waitForFinished(1000);
}

QString SimulatorLauncher::findProgram() {
    const QString here = QCoreApplication::applicationDirPath();
    const QStringList nearby{here, QDir(here).filePath(QStringLiteral("../../tools/monitor-sim"))};
    QString found = QStandardPaths::findExecutable(QLatin1String(ProgramName), nearby);
    if (found.isEmpty()) found = QStandardPaths::findExecutable(QLatin1String(ProgramName));
    return found;
}

std::optional<QString> SimulatorLauncher::start(const QString& program) {
    if (program.isEmpty()) {
        error_ = QStringLiteral("%1 was not found next to this program or on the PATH.")
                     .arg(QLatin1String(ProgramName));
        return std::nullopt;
    }
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // However this program ends (a kill included), the simulator goes with it.
    process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process_.start(program, {});
    if (!process_.waitForStarted(StartTimeoutMs)) {
        error_ = QStringLiteral("%1 could not be started: %2").arg(program, process_.errorString());
        return std::nullopt;
    }
    while (!process_.canReadLine()) {
        if (!process_.waitForReadyRead(StartTimeoutMs)) {
            error_ = QStringLiteral("%1 did not name its device.").arg(program);
            return std::nullopt;
        }
    }
    const QString device = QString::fromLocal8Bit(process_.readLine()).trimmed();
    if (device.isEmpty()) {
        error_ = QStringLiteral("%1 did not name its device.").arg(program);
        return std::nullopt;
    }
    return device;
}

} // namespace kestrel
