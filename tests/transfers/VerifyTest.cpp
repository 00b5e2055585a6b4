// Verify after download, against the monitor simulator on a real
// pseudo-terminal: the read-back passes, finds the byte that differs or the
// block that ends short, never runs after a transfer that did not complete,
// and stops when asked without wedging the line.
#include "DataDownload.h"
#include "MonitorLink.h"
#include "SimulatorLinkFixture.h"
#include "TestFiles.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

constexpr quint32 Address = 0x80010000;
constexpr qsizetype Size = 5000; // three frames, the last one short

class Verify : public SimulatorLinkFixture {
protected:
    explicit Verify(const QStringList& options = {}) : SimulatorLinkFixture(options) {}

    void SetUp() override {
        SimulatorLinkFixture::SetUp();
        link.setVerifyDownloads(true);
    }

    TransferOutcome download() {
        const QString file = writeTestFile(dir, QStringLiteral("data.bin"), data);
        return downloadDataFileCommand(link, [&]() -> std::optional<DownloadRequest> {
            return DownloadRequest{file, QString::number(Address, 16)};
        });
    }

    QByteArray verifyLines() const {
        QByteArray lines;
        for (const QByteArray& chunk : host.appended)
            if (chunk.startsWith("Verif")) lines += chunk;
        return lines;
    }

    const QByteArray data = randomBytes(Size, 7);
    QTemporaryDir dir;
};

struct VerifyCase {
    const char* name;
    QStringList simulatorOptions;
    TransferOutcome outcome;
    // The verify line, from the bytes that went out, or empty when no
    // read-back may happen at all.
    std::function<QByteArray(const QByteArray& sent)> line;
};

class VerifyOutcome : public Verify, public ::testing::WithParamInterface<VerifyCase> {
protected:
    VerifyOutcome() : Verify(GetParam().simulatorOptions) {}
};

TEST_P(VerifyOutcome, SaysWhatTheReadBackFound) {
    const VerifyCase& c = GetParam();
    EXPECT_EQ(download(), c.outcome);
    const QByteArray expected = c.line(data);
    EXPECT_EQ(verifyLines(), expected);
    EXPECT_EQ(sim.report().counter("binary-reads"), expected.isEmpty() ? 0u : 1u);
    // A failed verify is a failed transfer, told in a message box too.
    if (expected.startsWith("Verify failed")) {
        EXPECT_TRUE(host.messages.contains(QString::fromLatin1(expected.chopped(1))))
            << host.messages.join('|').toStdString();
    }
    // The monitor is back at its prompt: the next download goes through.
    EXPECT_EQ(sim.memory(Address, 5), data.first(5)) << "the write itself landed";
}

// The simulator's --wrong-read-byte inverts the byte it reads back.
QByteArray wrongByteAt(const QByteArray& sent, quint32 at) {
    const auto byte = static_cast<quint8>(sent[at]);
    return QString::asprintf("Verify failed at %08x: sent %02x, read %02x.\r", Address + at, byte,
                             byte ^ 0xffu)
        .toLatin1();
}

const VerifyCase verifyCases[] = {
    {"Matches",
     {},
     TransferOutcome::Completed,
     [](const QByteArray&) { return QByteArray("Verified: 5000 bytes at 80010000.\r"); }},
    {"OneWrongByte",
     {"--wrong-read-byte", "3000"},
     TransferOutcome::Failed,
     [](const QByteArray& sent) { return wrongByteAt(sent, 2999); }},
    {"ShortBlock",
     {"--short-read", "4096"},
     TransferOutcome::Failed,
     [](const QByteArray&) {
         return QByteArray("Verify failed at 80011000: read 4096 of 5000 bytes.\r");
     }},
    {"RefusedFrame",
     {"--refuse-frame", "3"},
     TransferOutcome::Failed,
     [](const QByteArray&) { return QByteArray(); }},
    {"NoEndBinary",
     {"--no-end-binary"},
     TransferOutcome::Failed,
     [](const QByteArray&) { return QByteArray(); }},
};

INSTANTIATE_TEST_SUITE_P(Cases, VerifyOutcome, ::testing::ValuesIn(verifyCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The file is rewritten (every byte inverted, in place) once the first frame
// has been acknowledged: the first frames went out as they were, the last
// one as rewritten. The read-back is compared with what went out, which the
// console's memory holds.
using VerifyFileRewritten = VerifyOutcome;

TEST_P(VerifyFileRewritten, ComparesWithWhatWasSent) {
    const VerifyCase& c = GetParam();
    QByteArray rewritten = data;
    for (auto& b : rewritten)
        b = char(~b);
    const QString file = dir.filePath(QStringLiteral("data.bin"));
    bool done = false;
    host.onPump = [&] {
        QCoreApplication::processEvents();
        if (done || host.fields.value(FieldCounter).isEmpty()) return;
        done = true;
        QFile writer(file);
        ASSERT_TRUE(writer.open(QIODevice::ReadWrite));
        ASSERT_EQ(writer.write(rewritten), rewritten.size());
    };
    EXPECT_EQ(download(), c.outcome);
    ASSERT_TRUE(done);
    const QByteArray memory = sim.memory(Address, Size);
    EXPECT_EQ(memory.first(FrameSize), data.first(FrameSize)) << "the first frame went out before";
    EXPECT_EQ(memory.last(Size - 2 * FrameSize), rewritten.last(Size - 2 * FrameSize))
        << "the last frame went out after the rewrite";
    EXPECT_EQ(verifyLines().toStdString(), c.line(memory).toStdString());
}

const VerifyCase rewriteCases[] = {
    {"ReadBackAsSent",
     {},
     TransferOutcome::Completed,
     [](const QByteArray&) { return QByteArray("Verified: 5000 bytes at 80010000.\r"); }},
    // The file still holds what went out in that frame: the byte is named.
    {"WrongByteSentAfterTheRewrite",
     {"--wrong-read-byte", "4500"},
     TransferOutcome::Failed,
     [](const QByteArray& memory) { return wrongByteAt(memory, 4499); }},
    // The file no longer holds what went out in that frame: no byte of it
    // can be named as sent.
    {"WrongByteSentBeforeTheRewrite",
     {"--wrong-read-byte", "100"},
     TransferOutcome::Failed,
     [](const QByteArray&) {
         return QByteArray("Verify failed at 80010000: the file changed during the download, and "
                           "the memory read back differs from what was sent in the 2048 bytes "
                           "from there.\r");
     }},
};

INSTANTIATE_TEST_SUITE_P(Cases, VerifyFileRewritten, ::testing::ValuesIn(rewriteCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Verify, StopEndsTheReadBackAndTheLineStaysUsable) {
    bool pressed = false;
    host.onPump = [&] {
        QCoreApplication::processEvents();
        if (!pressed && host.fields.value(FieldTask) == "Verifying" &&
            !host.fields.value(FieldCounter).isEmpty()) {
            pressed = true;
            link.stopTransfer();
        }
    };
    EXPECT_EQ(download(), TransferOutcome::Stopped);
    EXPECT_TRUE(pressed);
    EXPECT_EQ(verifyLines(), QByteArray());
    EXPECT_TRUE(host.messages.isEmpty()) << host.messages.join('|').toStdString();

    host.onPump = [] { QCoreApplication::processEvents(); };
    host.appended.clear();
    EXPECT_EQ(download(), TransferOutcome::Completed);
    EXPECT_EQ(verifyLines(), "Verified: 5000 bytes at 80010000.\r");
}

TEST_F(Verify, OffByDefaultNothingIsReadBack) {
    link.setVerifyDownloads(false);
    EXPECT_EQ(download(), TransferOutcome::Completed);
    EXPECT_EQ(verifyLines(), QByteArray());
    EXPECT_EQ(sim.report().counter("binary-reads"), 0u);
}

} // namespace
