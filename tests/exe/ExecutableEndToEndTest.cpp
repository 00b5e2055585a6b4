// The committed programs loaded into the monitor simulator through Kestrel's
// own serial component on a pseudo-terminal, on the real clock, then compared
// with the simulator's memory and registers.
#include "ExeFiles.h"
#include "ExecutableDownload.h"
#include "MonitorLink.h"
#include "QtSerialPortComponent.h"
#include "RecorderHost.h"
#include "SimulatorLinkFixture.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

class ExeEndToEnd : public SimulatorLinkFixture {
protected:
    // As the load command runs it: busy held, display suppressed, receive
    // events off for the whole load.
    TransferOutcome load(const std::function<TransferOutcome()>& download) {
        const TransferHold hold(link);
        return download();
    }
};

TEST_F(ExeEndToEnd, PsExeImageAndRegisters) {
    const QString path = fixturePath("hello.exe");
    const QByteArray file = readWhole(path);
    ASSERT_EQ(load([&] { return downloadPsExe(link, path); }), TransferOutcome::Completed);
    EXPECT_TRUE(host.messages.isEmpty()) << host.messages.join('|').toStdString();

    const SimulatorReport report = sim.report();
    ASSERT_EQ(report.regions.size(), 1u);
    EXPECT_EQ(report.regions[0].address, 0x80010000u);
    EXPECT_EQ(report.regions[0].bytes, file.mid(2048));
    EXPECT_EQ(report.registers.at("epc"), 0x8001003cu);
    EXPECT_EQ(report.registers.at("gp"), 0x80019110u);
    EXPECT_EQ(report.registers.at("sp"), 0x801ff000u);
    EXPECT_EQ(report.counter("frames-acknowledged"), 3u);
    EXPECT_EQ(report.counter("stray-bytes"), 0u);
}

TEST_F(ExeEndToEnd, AOutSectionsAndRegisters) {
    const QString path = fixturePath("hello-sdata.ecoff");
    const QByteArray file = readWhole(path);
    const TransferOutcome outcome = load([&] { return downloadAOut(link, path); });
    // On the real clock a starved machine can miss the monitor's 2-second
    // answer; what the user was told then shows which step it was.
    SCOPED_TRACE("messages: " + host.messages.join('|').toStdString() +
                 " terminal: " + host.rawTerminal().toStdString());

    AOutHeaders headers;
    ASSERT_EQ(decodeAOutHeaders(file, headers), std::nullopt);
    const SimulatorReport report = sim.report();
    quint64 sentBytes = 0;
    for (int i = 0; i < headers.sections.count(); ++i) {
        const AOutSectionHeader s = headers.sections.at(i);
        SCOPED_TRACE(s.name.toStdString());
        const QByteArray inMemory = report.memory(s.physicalAddress, s.size);
        if (isSectionSelected(s)) {
            EXPECT_EQ(inMemory, file.mid(s.rawDataOffset, s.size));
            sentBytes += s.size;
        } else {
            EXPECT_EQ(inMemory, QByteArray(s.size, '\0')); // .sbss and .bss stay unwritten
        }
    }
    // .text, .rdata, .data and .sdata lie end to end, so they merge into one.
    ASSERT_EQ(report.regions.size(), 1u);
    EXPECT_EQ(report.regions[0].address, 0x80010000u);
    EXPECT_EQ(quint64(report.regions[0].bytes.size()), sentBytes);
    EXPECT_EQ(report.counter("binary-writes"), 4u);
    EXPECT_EQ(host.title_, AOutDownloadTitle);

    // After its last section the download sends one more 0x03 at the
    // monitor's prompt and expects "end binary" before the register commands.
    EXPECT_EQ(outcome, TransferOutcome::Completed);
    EXPECT_TRUE(host.messages.isEmpty()) << host.messages.join('|').toStdString();
    EXPECT_EQ(report.registers.at("epc"), 0x8001003cu);
    EXPECT_EQ(report.registers.at("gp"), 0u);
    EXPECT_EQ(report.registers.at("sp"), DefaultStackPointer);
}

// With verify on, the PS-X EXE image and each A-OUT section are read back
// once written; a byte that comes back wrong fails the download and, for an
// A-OUT, sends no further section and sets no register.
TEST_F(ExeEndToEnd, VerifyReadsBackEveryPartItWrote) {
    link.setVerifyDownloads(true);
    const QString exe = fixturePath("hello.exe");
    ASSERT_EQ(load([&] { return downloadPsExe(link, exe); }), TransferOutcome::Completed)
        << host.messages.join('|').toStdString();
    const QString ecoff = fixturePath("hello-sdata.ecoff");
    ASSERT_EQ(load([&] { return downloadAOut(link, ecoff); }), TransferOutcome::Completed)
        << host.messages.join('|').toStdString();

    QByteArray expected =
        QString::asprintf("Verified: %lld bytes at 80010000.\r", readWhole(exe).size() - 2048)
            .toLatin1();
    AOutHeaders headers;
    ASSERT_EQ(decodeAOutHeaders(readWhole(ecoff), headers), std::nullopt);
    for (int i = 0; i < headers.sections.count(); ++i) {
        const AOutSectionHeader s = headers.sections.at(i);
        if (isSectionSelected(s))
            expected += QString::asprintf("Verified: %u bytes at %08x.\r", unsigned(s.size),
                                          unsigned(s.physicalAddress))
                            .toLatin1();
    }
    QByteArray lines;
    for (const QByteArray& chunk : host.appended)
        if (chunk.startsWith("Verif")) lines += chunk;
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(sim.report().counter("binary-reads"), 5u);
}

class ExeWrongReadBack : public SimulatorLinkFixture {
protected:
    ExeWrongReadBack() : SimulatorLinkFixture({"--wrong-read-byte", "10"}) {}
};

TEST_F(ExeWrongReadBack, AOutStopsAtTheSectionThatCameBackWrong) {
    link.setVerifyDownloads(true);
    const QString ecoff = fixturePath("hello-sdata.ecoff");
    TransferOutcome outcome;
    {
        const TransferHold hold(link);
        outcome = downloadAOut(link, ecoff);
    }
    EXPECT_EQ(outcome, TransferOutcome::Failed);
    ASSERT_EQ(host.messages.size(), 1);
    EXPECT_TRUE(host.messages[0].startsWith("Verify failed at 80010009: sent "))
        << host.messages[0].toStdString();
    const SimulatorReport report = sim.report();
    EXPECT_EQ(report.counter("binary-writes"), 1u) << "no section after the one that failed";
    EXPECT_FALSE(sim.transcript().received().contains("sr ")) << "no register is set";
}

} // namespace
