#pragma once
// A link to a scripted monitor on the fake clock, with the window's receive
// event stood in for: whenever the host pumps messages with receive events
// on and bytes waiting, the receive path runs, as the window's event loop
// would make it.
#include "FakeSerialPort.h"
#include "MonitorLink.h"
#include "RecorderHost.h"
#include "ScriptedMonitor.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kestrel::test {

class TransferFixture : public ::testing::Test {
protected:
    TransferFixture() {
        host.onPump = [this] {
            if (port.rThreshold() == 1 && port.inBufferCount() > 0) link.onCommEvent();
        };
    }

    QString path(const QString& name) const { return dir.filePath(name); }

    QString writeFile(const QString& name, const QByteArray& bytes) {
        QFile f(path(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return f.fileName();
    }

    static QByteArray readFile(const QString& name) {
        QFile f(name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // Nobody holds the file any more (the transfer has closed it).
    static bool unlocked(const QString& name) {
        const int fd = ::open(QFile::encodeName(name).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        ::close(fd);
        return free;
    }

    // Bytes that are not all alike, zero bytes included.
    static QByteArray pattern(qsizetype size, quint32 seed = 7) {
        QRandomGenerator random(seed);
        QByteArray bytes(size, '\0');
        for (auto& b : bytes)
            b = static_cast<char>(random.bounded(256));
        return bytes;
    }

    TestClock clock{true};
    RecorderHost host{clock};
    FakeSerialPort port{clock};
    MonitorLink link{port, host};
    ScriptedMonitor monitor{port};
    QTemporaryDir dir;
};

} // namespace kestrel::test
