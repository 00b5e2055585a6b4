// Downloads and receives against the monitor simulator, through Kestrel's own
// serial component on a real pseudo-terminal, on the real clock.
#include "DataDownload.h"
#include "MonitorLink.h"
#include "QtSerialPortComponent.h"
#include "ReceiveFile.h"
#include "RecorderHost.h"
#include "SimulatorLinkFixture.h"
#include "TestFiles.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>

using namespace kestrel;
using namespace kestrel::test;

namespace {

class EndToEnd : public SimulatorLinkFixture {
protected:
    explicit EndToEnd(const QStringList& options = {}) : SimulatorLinkFixture(options) {}

    QString writeFile(const QString& name, const QByteArray& bytes) {
        return kestrel::test::writeTestFile(dir, name, bytes);
    }

    TransferOutcome download(const QString& file, quint32 address) {
        return downloadDataFileCommand(link, [&]() -> std::optional<DownloadRequest> {
            return DownloadRequest{file, QString::number(address, 16)};
        });
    }

    // Runs the message loop until `done` or the deadline.
    bool runUntil(const std::function<bool()>& done, int msecs) {
        QDeadlineTimer deadline(msecs);
        while (!done() && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
        return done();
    }

    QTemporaryDir dir;
};

TEST_F(EndToEnd, DownloadsLandByteForByte) {
    const struct {
        qsizetype size;
        quint32 address;
    } cases[] = {{0, 0x80010000}, {5, 0x80020000}, {2048, 0x80030000}, {2049, 0x80040000}};
    for (const auto& c : cases) {
        const QByteArray data = randomBytes(c.size, quint32(c.size));
        EXPECT_EQ(download(writeFile(QString::number(c.size), data), c.address),
                  TransferOutcome::Completed)
            << c.size;
        EXPECT_EQ(sim.memory(c.address, c.size), data) << c.size;
    }
    EXPECT_TRUE(host.messages.isEmpty()) << host.messages.join('|').toStdString();
    EXPECT_EQ(host.fields[FieldState], "Done.");
    EXPECT_EQ(host.fields[FieldCounter], "000801/000801");
}

TEST_F(EndToEnd, OneMebibyteDownload) {
    const QByteArray data = randomBytes(1 << 20, 1);
    const QString file = writeFile("mebibyte.bin", data);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(download(file, 0x80100000), TransferOutcome::Completed);
    const qint64 elapsed = timer.elapsed();
    std::printf("1 MiB data download over the pty: %lld ms\n", static_cast<long long>(elapsed));
    RecordProperty("milliseconds", static_cast<int>(elapsed));
    EXPECT_EQ(sim.memory(0x80100000, data.size()), data);
    EXPECT_EQ(host.fields[FieldCounter], "100000/100000");
    EXPECT_TRUE(host.messages.isEmpty()) << host.messages.join('|').toStdString();
}

// What a download put there comes back through a receive, zero bytes and all,
// and the monitor's prompt around it stays out of the file.
TEST_F(EndToEnd, ReceivedBlockMatchesMemory) {
    QByteArray data = randomBytes(3000, 3);
    data[0] = '\0';
    data[1500] = '\0';
    data[2999] = '\0';
    ASSERT_EQ(download(writeFile("sent.bin", data), 0x80050000), TransferOutcome::Completed);

    ReceiveCapture capture(link);
    std::optional<TransferOutcome> outcome;
    capture.onFinished = [&](TransferOutcome o, quint32) { outcome = o; };
    const QString target = dir.filePath("received.bin");
    // 8 bytes more than were written: memory never written reads as 0.
    const auto start =
        receiveDataFileCommand(link, capture, [&]() -> std::optional<ReceiveRequest> {
            return ReceiveRequest{target, "80050000", "bc0"};
        });
    ASSERT_EQ(start, ReceiveStart::Capturing);
    ASSERT_TRUE(runUntil([&] { return outcome.has_value(); }, 10000));
    EXPECT_EQ(*outcome, TransferOutcome::Completed);

    QFile received(target);
    ASSERT_TRUE(received.open(QIODevice::ReadOnly));
    EXPECT_EQ(received.readAll(), data + QByteArray(8, '\0'));
    EXPECT_EQ(host.fields[FieldTask], "Received 3008 bytes.");
    EXPECT_TRUE(host.messages.isEmpty()) << host.messages.join('|').toStdString();
}

class RefusingSimulator : public EndToEnd {
protected:
    RefusingSimulator() : EndToEnd({"--refuse-frame", "2"}) {}
};

TEST_F(RefusingSimulator, RefusedFrameEndsTheDownload) {
    const QByteArray data = randomBytes(3 * 2048, 5);
    EXPECT_EQ(download(writeFile("three.bin", data), 0x80060000), TransferOutcome::Failed);
    EXPECT_EQ(host.messages, QStringList{"Upload of data failed."});
    EXPECT_EQ(host.fields[FieldState], "Done.");
    EXPECT_EQ(sim.memory(0x80060000, 3 * 2048), data.left(2048) + QByteArray(2 * 2048, '\0'));
    EXPECT_EQ(sim.report().counter("frames-refused"), 1u);
}

// Each refused frame used to cost the whole answer time-out before the
// download noticed it; the refusal is taken when it arrives.
TEST_F(RefusingSimulator, RefusalIsTakenWhenItArrives) {
    const QByteArray data = randomBytes(3 * 2048, 6);
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_EQ(download(writeFile("three.bin", data), 0x80060000), TransferOutcome::Failed);
    EXPECT_LT(elapsed.elapsed(), 1500) << "the 2-second answer time-out ran out";
    EXPECT_EQ(host.messages, QStringList{"Upload of data failed."});
}

} // namespace
