#pragma once
// kestrel-cli as a real process, timed: how long it ran, and a hook that runs
// every few milliseconds while it does (a test that plays the far end of a
// line reads from it there) and once more right after it has ended.
#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>

#include <gtest/gtest.h>

#include <functional>

namespace kestrel::test {

struct TimedCliRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    qint64 elapsedMs = 0;
};

inline TimedCliRun runCliTimed(const QStringList& args, const QByteArray& input = {},
                               const QString& workingDirectory = {},
                               const std::function<void()>& whileRunning = {},
                               int timeoutMs = 60000) {
    QProcess p;
    if (!workingDirectory.isEmpty()) p.setWorkingDirectory(workingDirectory);
    QElapsedTimer timer;
    timer.start();
    p.start(QStringLiteral(KESTREL_BINARY_DIR "/src/cli/kestrel-cli"), args);
    EXPECT_TRUE(p.waitForStarted());
    if (!input.isEmpty()) p.write(input);
    p.closeWriteChannel();
    bool finished = false;
    while (!finished && timer.elapsed() < timeoutMs) {
        finished = p.waitForFinished(5);
        if (whileRunning) whileRunning();
    }
    TimedCliRun run;
    run.elapsedMs = timer.elapsed();
    EXPECT_TRUE(finished) << args.join(' ').toStdString();
    if (!finished) {
        p.kill();
        p.waitForFinished();
    }
    run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    run.out = p.readAllStandardOutput();
    run.err = p.readAllStandardError();
    return run;
}

// Milliseconds a line at `baud` (10 bits a byte) needs for `bytes`.
inline qint64 lineTimeMs(qint64 bytes, qint64 baud) {
    return bytes * 10 * 1000 / baud;
}

} // namespace kestrel::test
