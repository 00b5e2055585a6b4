#include "AutoFile.h"
#include "AutomationFixture.h"
#include "FileAccess.h"
#include "MonitorLink.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const QString Completed = QStringLiteral("Auto file completed.");
const QString Busy = QStringLiteral(
    "A file upload is currently in progress.\nPlease try again once it has completed.");
const QByteArray Aborted = "\r*** CURRENT FILE TRANSFER ABORTED ***\r";

class AutoRun : public LinkFixture {
protected:
    AutoRunResult run(const QByteArray& contents) {
        return runner.runAutoFile(dir.write("test.sio", contents), TransferHold(link));
    }
    // The terminal pieces after the three that announce the run.
    QList<QByteArray> afterStart() const { return host.appended.mid(3); }

    AutoRunner runner{link};
};

struct WireCase {
    const char* name;
    QByteArray file;
    QList<QByteArray> writes;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const WireCase& c, std::ostream* os) {
    *os << c.name;
}

class LineEnds : public AutoRun, public ::testing::WithParamInterface<WireCase> {};

TEST_P(LineEnds, SendEachFinishedLineThenACarriageReturn) {
    bool heldOnEveryWrite = true;
    port.responder = [&](const QByteArray&) { heldOnEveryWrite = heldOnEveryWrite && held(); };
    const AutoRunResult result = run(GetParam().file);
    EXPECT_EQ(port.writes, GetParam().writes);
    EXPECT_TRUE(heldOnEveryWrite);
    EXPECT_EQ(result.end, AutoRunResult::End::Completed);
    EXPECT_EQ(host.fields[FieldTask], Completed);
    expectReleased();
}

INSTANTIATE_TEST_SUITE_P(
    Files, LineEnds,
    ::testing::Values(
        WireCase{"CrLfEndsALineAndAnEmptyOne", "dir\r\n", {"dir", "\r"}},
        WireCase{"LastLineWithoutEndIgnored", "dir", {}},
        WireCase{"EachEndCounts", "one\ntwo\rthree\r\n", {"one", "\r", "two", "\r", "three", "\r"}},
        WireCase{"CtrlZEndsALineAndReadingGoesOn",
                 "dir\x1a"
                 "echo 1\x1a",
                 {"dir", "\r", "echo 1", "\r"}},
        WireCase{"TextAfterTheLastCtrlZIgnored", "dir\x1atail", {"dir", "\r"}},
        WireCase{"OnlyLineEnds", "\r\n\n\x1a\r", {}},
        WireCase{"CapitalsTabsAndTrailingBlanks", "DIR\tA  \n", {"dir a", "\r"}},
        WireCase{
            "PrefixDroppedOnlyInLowerCase", "mem 0x80010000 0X10\n", {"mem 80010000 0x10", "\r"}},
        WireCase{"LocalxIsAConsoleLine", "localx foo\n", {"localx foo", "\r"}},
        WireCase{"ZeroBytesDropped", QByteArrayLiteral("a\0b\0\n"), {"ab", "\r"}},
        WireCase{"LineOfZeroBytesSendsNothing", QByteArrayLiteral("\0\0\n"), {}},
        WireCase{"BlankLineSendsNothing", " \t \n", {}},
        WireCase{"LineAcrossReadChunks",
                 QByteArray(5000, 'a') + "\nb\n",
                 {QByteArray(5000, 'a'), "\r", "b", "\r"}}),
    [](const auto& info) { return info.param.name; });

TEST_F(AutoRun, AnnouncesTheRunAndShowsEachNormalisedLine) {
    const QString path = dir.write("show.sio", "  \t \nDIR   X\n\nlocal  HELP\n");
    runner.runAutoFile(path, TransferHold(link));
    EXPECT_EQ(host.appended.mid(0, 3),
              (QList<QByteArray>{"Starting auto-execution : ", path.toLocal8Bit(), "\r\n"}));
    EXPECT_EQ(host.fieldHistory[FieldTask], (QStringList{"", "dir x", "local help", Completed}));
}

TEST_F(AutoRun, LocalLinesRunInOrderWithConsoleLinesBetween) {
    port.responder = [&](const QByteArray& w) {
        // The console line is sent only after the sleep before it is over.
        if (w == "after") {
            EXPECT_EQ(host.sleeps, QList<int>{2000});
        }
    };
    const AutoRunResult result =
        run("LOCAL ECHO Hello World\nlocal sleep 2\nafter\nlocal bogus\nlocal quit\nlast\n");
    EXPECT_EQ(afterStart(),
              (QList<QByteArray>{"hello world", "\r", "Going to sleep for ", "2", " seconds...",
                                 "done.\r", "bogus", " - **** NOT A VALID LOCAL COMMAND ****\r"}));
    // "quit" ends the program once the run has unwound; the file goes on.
    EXPECT_EQ(host.quitRequests, 1);
    EXPECT_EQ(port.writes, (QList<QByteArray>{"after", "\r", "last", "\r"}));
    EXPECT_EQ(result.end, AutoRunResult::End::Completed);
    EXPECT_EQ(result.failedTransfers, 0);
}

TEST_F(AutoRun, StopEndsTheRunBeforeTheNextByte) {
    host.onPump = [&] {
        if (!link.isAborting()) link.stopTransfer();
    };
    link.requestAbort(); // a Stop left over from before is forgotten
    const AutoRunResult result = run("one\rtwo\r");
    EXPECT_EQ(port.writes, (QList<QByteArray>{"one", "\r"}));
    EXPECT_EQ(afterStart(), QList<QByteArray>{Aborted});
    EXPECT_EQ(result.end, AutoRunResult::End::Stopped);
    EXPECT_EQ(host.fields[FieldTask], Completed);
    expectReleased();
}

TEST_F(AutoRun, StopDuringASleepTakesEffectAtTheNextDispatch) {
    // The sleep lets no input through: the press is seen at the next pump,
    // which comes with the next console line.
    host.onPump = [&] {
        if (!host.sleeps.isEmpty() && !link.isAborting()) link.stopTransfer();
    };
    const AutoRunResult result = run("local sleep 5\rabc\rdef\r");
    EXPECT_EQ(host.sleeps, QList<int>{5000});
    EXPECT_EQ(port.writes, (QList<QByteArray>{"abc", "\r"}));
    EXPECT_EQ(result.end, AutoRunResult::End::Stopped);
    expectReleased();
}

TEST_F(AutoRun, SendFailureIsReportedOnceForTheWholeRun) {
    port.failOutput = true;
    run("one\ntwo\nthree\n");
    EXPECT_EQ(host.messages, QStringList{"Could not send data to comms port!"});
    expectReleased();
}

TEST_F(AutoRun, ReadErrorEndsTheRunAndClosesTheFile) {
    const QString path = dir.write("long.sio", QByteArray("dir\n").repeated(1024) + "late\n");
    int reads = 0;
    auto realRead = runner.readChunk;
    runner.readChunk = [&](ExclusiveFile& file, char* buffer, qint64 size) -> qint64 {
        return ++reads == 1 ? realRead(file, buffer, size) : -1;
    };
    const AutoRunResult result = runner.runAutoFile(path, TransferHold(link));
    EXPECT_EQ(result.end, AutoRunResult::End::ReadError);
    EXPECT_EQ(port.writes.size(), 2 * 1024);
    EXPECT_FALSE(port.wire().contains("late"));
    EXPECT_EQ(afterStart(),
              QList<QByteArray>{"\r*** AUTO FILE READ ERROR - AUTO-EXECUTION ENDED ***\r"});
    EXPECT_EQ(host.fields[FieldTask], Completed);
    expectReleased();
    ExclusiveFile again;
    EXPECT_EQ(again.open(path, ExclusiveFile::Mode::Read), FileErrorCategory::None);
}

TEST_F(AutoRun, FiftyMegabyteLineIsSentWhole) {
    constexpr qsizetype Size = 50 * 1024 * 1024;
    {
        QByteArray big(Size, 'a');
        big.append('\n');
        run(big);
    }
    ASSERT_EQ(port.writes.size(), 2);
    EXPECT_EQ(port.writes[0].size(), Size);
    EXPECT_EQ(port.writes[0].count('a'), Size);
    EXPECT_EQ(port.writes[1], "\r");
}

class AutoCommands : public AutoRun {
protected:
    FileChooser chooser(std::optional<QString> answer) {
        return [this, answer](const QString& filter) {
            filters.append(filter);
            heldInChooser = held();
            return answer;
        };
    }
    QStringList filters;
    bool heldInChooser = false;
};

TEST_F(AutoCommands, AutoHoldsTheLineWhileChoosingAndRunsTheChosenFile) {
    const QString path = dir.write("first.sio", "dir\n");
    EXPECT_TRUE(runner.autoCommand(chooser(path)).has_value());
    EXPECT_EQ(filters, QStringList{"SIO Files (*.sio)|*.sio|All Files (*.*)|*.*||"});
    EXPECT_TRUE(heldInChooser);
    EXPECT_EQ(runner.lastAutoFile, path);
    EXPECT_EQ(port.writes, (QList<QByteArray>{"dir", "\r"}));
    expectReleased();
}

TEST_F(AutoCommands, CancelGivesEverythingBack) {
    runner.lastAutoFile = dir.file("before.sio");
    EXPECT_FALSE(runner.autoCommand(chooser(std::nullopt)).has_value());
    EXPECT_TRUE(heldInChooser);
    EXPECT_EQ(runner.lastAutoFile, dir.file("before.sio"));
    EXPECT_TRUE(host.appended.isEmpty());
    expectReleased();
}

TEST_F(AutoCommands, RefusedWhileBusy) {
    const TransferHold running(link, TransferHold::Kind::Busy);
    EXPECT_FALSE(runner.autoCommand(chooser(dir.file("x.sio"))).has_value());
    EXPECT_TRUE(filters.isEmpty());
    runner.lastAutoFile = dir.write("x.sio", "dir\n");
    EXPECT_FALSE(runner.autoAgainCommand().has_value());
    EXPECT_EQ(host.messages, (QStringList{Busy, Busy}));
    EXPECT_TRUE(port.writes.isEmpty());
    EXPECT_TRUE(link.isBusy());
}

TEST_F(AutoCommands, AutoAgainBeforeAnyAutoComesFirstEvenWhenBusy) {
    const TransferHold running(link, TransferHold::Kind::Busy);
    EXPECT_FALSE(runner.autoAgainCommand().has_value());
    EXPECT_EQ(host.messages, QStringList{"Nothing to Auto-Again with!\nUse Auto (F3) first."});
}

TEST_F(AutoCommands, AutoAgainReadsTheFileAfresh) {
    const QString path = dir.write("again.sio", "one\n");
    runner.autoCommand(chooser(path));
    dir.write("again.sio", "two\n");
    EXPECT_TRUE(runner.autoAgainCommand().has_value());
    EXPECT_EQ(filters.size(), 1);
    EXPECT_EQ(port.writes, (QList<QByteArray>{"one", "\r", "two", "\r"}));
    expectReleased();
}

TEST_F(AutoCommands, FileThatCannotBeOpenedIsTriedAgainByAutoAgain) {
    ExclusiveFile holder;
    const QString locked = dir.write("locked.sio", "dir\n");
    ASSERT_EQ(holder.open(locked, ExclusiveFile::Mode::Read), FileErrorCategory::None);
    // The category, then the system's reason.
    const std::tuple<QString, unsigned, QString> cases[] = {
        {dir.file("missing.sio"), 2, "(No such file or directory)"},
        {dir.path(), 5, "(Is a directory)"},
        {locked, 11, "(Resource temporarily unavailable)"},
    };
    for (const auto& [path, category, reason] : cases) {
        SCOPED_TRACE(path.toStdString());
        host.messages.clear();
        const auto first = runner.autoCommand(chooser(path));
        const auto again = runner.autoAgainCommand();
        ASSERT_TRUE(first && again);
        EXPECT_EQ(first->end, AutoRunResult::End::NotOpened);
        EXPECT_EQ(again->end, AutoRunResult::End::NotOpened);
        const QString message = QStringLiteral("Can't open file %1, error = %2\n%3")
                                    .arg(path)
                                    .arg(category)
                                    .arg(reason);
        EXPECT_EQ(host.messages, (QStringList{message, message}));
        EXPECT_EQ(runner.lastAutoFile, path);
        EXPECT_FALSE(host.fields.contains(FieldTask));
        expectReleased();
    }
    EXPECT_TRUE(port.writes.isEmpty());
}

} // namespace
