#pragma once
// kestrel-cli as a real process, timed: how long it ran, and a hook that runs
// every few milliseconds while it does (a test that plays the far end of a
// line reads from it there) and once more right after it has ended; and the
// auto files and measures of the tests on slow lines.
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

// 2000 auto-file lines "ls 00000" to "ls 01999": 18000 bytes on the line,
// each line sent with a CR.
inline QByteArray manyLines() {
    QByteArray file;
    for (int i = 0; i < 2000; ++i)
        file += QByteArray("ls ") + QByteArray::number(i).rightJustified(5, '0') + "\r\n";
    return file;
}

// What an auto file of console lines puts on the line.
inline QByteArray sentForm(const QByteArray& autoFile) {
    QByteArray sent = autoFile;
    return sent.replace("\r\n", "\r");
}

// The simulator takes input up to 50 ms of line time ahead and stamps it
// when it has crossed the line; this much may still be on its way when the
// program has ended.
inline qint64 slackBytes(qint64 baud) {
    return baud / 10 / 10 + 64;
}

} // namespace kestrel::test
