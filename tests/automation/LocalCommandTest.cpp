#include "LocalCommand.h"
#include "AutomationFixture.h"

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const QByteArray NotValid = " - **** NOT A VALID LOCAL COMMAND ****\r";

struct KeywordCase {
    const char* name;
    QByteArray keyword;
    QByteArray rest;
    QList<QByteArray> appended;
    QStringList messages;
    bool recognised = true;
    int beeps = 0;
    int quits = 0;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const KeywordCase& c, std::ostream* os) {
    *os << c.name;
}

class Keyword : public LinkFixture, public ::testing::WithParamInterface<KeywordCase> {};

TEST_P(Keyword, DoesExactlyWhatItsTableRowSays) {
    const KeywordCase& c = GetParam();
    const LocalCommandResult result = runLocalCommand(link, c.keyword, "first", "second", c.rest);
    EXPECT_EQ(result.recognised, c.recognised);
    EXPECT_FALSE(result.transfer.has_value());
    EXPECT_EQ(host.appended, c.appended);
    EXPECT_EQ(host.messages, c.messages);
    EXPECT_EQ(host.beeps, c.beeps);
    EXPECT_EQ(host.quitRequests, c.quits);
    EXPECT_TRUE(port.writes.isEmpty());
    EXPECT_TRUE(host.sleeps.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, Keyword,
    ::testing::Values(
        KeywordCase{"Echo", "echo", "hello world", {"hello world", "\r"}, {}},
        KeywordCase{"Help", "help", "x", {"HELP: See KESTREL.DOC for help.\r"}, {}},
        KeywordCase{"AutoNeverNests",
                    "auto",
                    "other.sio",
                    {"Nesting of AUTO files is not supported.\r"},
                    {}},
        KeywordCase{
            "MsgboxShowsTheRest", "msgbox", "insert the disc now", {}, {"insert the disc now"}},
        KeywordCase{"Pause", "pause", "x", {}, {"Click OK key when ready."}},
        KeywordCase{"Beep", "beep", "x", {}, {}, true, 1},
        KeywordCase{"QuitAsksNothing", "quit", "x", {}, {}, true, 0, 1},
        KeywordCase{"UpperCaseIsNotAKeyword", "Load", "x", {"Load", NotValid}, {}, false},
        KeywordCase{"AllCapitals", "ECHO", "x", {"ECHO", NotValid}, {}, false},
        KeywordCase{"Unknown", "xyz", "x", {"xyz", NotValid}, {}, false},
        KeywordCase{"PrefixOfAKeyword", "slee", "x", {"slee", NotValid}, {}, false},
        KeywordCase{"KeywordWithMore", "echox", "x", {"echox", NotValid}, {}, false}),
    [](const auto& info) { return info.param.name; });

using ClearScreen = LinkFixture;

TEST_F(ClearScreen, EmptiesTheTerminal) {
    host.appendToTerminal("some text\r");
    runLocalCommand(link, "cls", "cls", "cls", "cls");
    EXPECT_TRUE(host.terminal.isEmpty());
}

// Records how much had been written to the terminal when each sleep began.
class SleepOrderHost : public RecorderHost {
public:
    using RecorderHost::RecorderHost;
    void sleepMilliseconds(int msecs) override {
        piecesAtSleep.append(appended.size());
        RecorderHost::sleepMilliseconds(msecs);
    }
    QList<qsizetype> piecesAtSleep;
};

struct SleepCase {
    QByteArray count;
    QList<int> sleeps;
};

TEST(Sleep, WaitsTheCountOfSecondsBetweenItsTwoPieces) {
    const SleepCase cases[] = {
        {"2", {2000}},
        {"abc", {}},
        {"-5", {}},                    // a negative count does not wait
        {"99999999999", {2147483000}}, // the longest wait the host can take
        {"2147483", {2147483000}},
        {"2147484", {2147483000}},
        {"3x", {3000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count.toStdString());
        TestClock clock{true};
        SleepOrderHost host{clock};
        FakeSerialPort port{clock};
        MonitorLink link{port, host};
        const qint64 start = clock.nowMs();
        runLocalCommand(link, "sleep", c.count, c.count, c.count);
        EXPECT_EQ(host.appended,
                  (QList<QByteArray>{"Going to sleep for ", c.count, " seconds...", "done.\r"}));
        EXPECT_EQ(host.terminal, "Going to sleep for " + c.count + " seconds...done.\r\n");
        EXPECT_EQ(host.sleeps, c.sleeps);
        if (!c.sleeps.isEmpty()) {
            EXPECT_EQ(host.piecesAtSleep, QList<qsizetype>{3});
        }
        EXPECT_EQ(clock.nowMs() - start, c.sleeps.isEmpty() ? 0 : c.sleeps.first());
    }
}

class DataLoad : public LinkFixture {
protected:
    ScriptedMonitor monitor{port};
    QString data = dir.write("face.bin", "abc");
};

TEST_F(DataLoad, AddressIsReadLenientlyAsHexadecimal) {
    const std::pair<QByteArray, QByteArray> cases[] = {
        {"80100000", QByteArray::fromHex("018010000000000003")},
        {"0x80100000", QByteArray::fromHex("018010000000000003")},
        {"face.bin", QByteArray::fromHex("010000face00000003")},
        {"zz", QByteArray::fromHex("010000000000000003")},
    };
    for (const auto& [address, header] : cases) {
        SCOPED_TRACE(address.toStdString());
        monitor.headers.clear();
        port.deliver(">>");
        const auto result = runLocalCommand(link, "dload", data.toLocal8Bit(), address, "");
        ASSERT_TRUE(result.transfer.has_value());
        EXPECT_EQ(*result.transfer, TransferOutcome::Completed);
        EXPECT_EQ(monitor.headers, QList<QByteArray>{header});
    }
}

TEST_F(DataLoad, WaitsForThePromptThenLoadsAndPauses) {
    const qint64 start = clock.nowMs();
    port.deliver(">>", 700);
    runLocalCommand(link, "dload", data.toLocal8Bit(), "80010000", "");
    // The prompt ends the wait as soon as it is in; then the fixed pause.
    EXPECT_EQ(clock.nowMs() - start, 700 + 1000);
    EXPECT_EQ(host.sleeps, QList<int>{1000});
    EXPECT_TRUE(port.wire().startsWith("bwr\r"));
}

TEST_F(DataLoad, MissingPromptStillLoads) {
    const qint64 start = clock.nowMs();
    const auto result = runLocalCommand(link, "dload", data.toLocal8Bit(), "80010000", "");
    EXPECT_GE(clock.nowMs() - start, 2000 + 1000);
    EXPECT_EQ(result.transfer, TransferOutcome::Completed);
    EXPECT_EQ(monitor.headers.size(), 1);
}

class ExecutableLoad : public LinkFixture {
protected:
    QList<QByteArray> loadPieces(const QString& path, const QByteArray& formatLine) {
        return {"\r", path.toLocal8Bit(), formatLine};
    }
};

TEST_F(ExecutableLoad, FilesThatAreNotDownloadedSayWhatTheyAre) {
    const QByteArray notExe = ": Not a PlayStation executable - Use Download Datafile instead.\r";
    const std::pair<QString, QByteArray> cases[] = {
        {dir.write("prog.mot", "S00F000068656C6C6F202020202000003C\r\n"), ": S-Format.\r"},
        {dir.write("readme.txt", "just some text\n"), notExe},
        {dir.file("missing.exe"), "\t\t: Cannot open file for download.\r"},
        {dir.write("empty.exe", ""), notExe},
    };
    for (const auto& [path, formatLine] : cases) {
        SCOPED_TRACE(path.toStdString());
        host.appended.clear();
        const auto result = runLocalCommand(link, "load", path.toLocal8Bit(), "x", "x");
        EXPECT_EQ(host.appended, loadPieces(path, formatLine));
        EXPECT_EQ(result.transfer, TransferOutcome::NotStarted);
        EXPECT_TRUE(port.writes.isEmpty());
    }
}

TEST_F(ExecutableLoad, ExecutablesAreDownloadedAndStarted) {
    const std::pair<QString, QByteArray> cases[] = {
        {"hello.exe", ": PSX-EXE format.\r"},
        {"hello.ecoff", ": A-OUT format.\r"},
    };
    for (const auto& [name, formatLine] : cases) {
        SCOPED_TRACE(name.toStdString());
        host.appended.clear();
        port.writes.clear();
        ScriptedMonitor monitor{port};
        const QString path = dir.copyFixture("exe/" + name);
        const auto result = runLocalCommand(link, "load", path.toLocal8Bit(), "x", "x");
        EXPECT_EQ(result.transfer, TransferOutcome::Completed);
        EXPECT_EQ(host.appended.mid(0, 3), loadPieces(path, formatLine));
        EXPECT_GE(monitor.headers.size(), 1);
        EXPECT_TRUE(port.wire().contains("sr epc "));
    }
}

class DownloadExecutable : public LinkFixture {
protected:
    QStringList filters;
    FileChooser chooser(std::optional<QString> answer) {
        return [this, answer](const QString& filter) {
            filters.append(filter);
            chooserSawFlags = link.isBusy() || link.displaySuppressed() || port.rThreshold() == 0;
            return answer;
        };
    }
    bool chooserSawFlags = false;
};

TEST_F(DownloadExecutable, RefusedWhileATransferRuns) {
    const TransferHold running(link, TransferHold::Kind::Busy);
    EXPECT_FALSE(onDownloadExecutable(link, chooser(dir.file("x"))).has_value());
    EXPECT_EQ(host.messages, QStringList{"A file upload is currently in progress.\n"
                                         "Please try again once it has completed."});
    EXPECT_TRUE(filters.isEmpty());
    EXPECT_TRUE(link.isBusy());
}

TEST_F(DownloadExecutable, CancelTouchesNothing) {
    port.setRThreshold(1);
    EXPECT_FALSE(onDownloadExecutable(link, chooser(std::nullopt)).has_value());
    EXPECT_EQ(filters, QStringList{"All Files (*.*) | *.* ||"});
    EXPECT_FALSE(chooserSawFlags);
    EXPECT_TRUE(host.appended.isEmpty());
    expectReleased();
}

TEST_F(DownloadExecutable, ChosenFileGoesThroughLoadUnderTheHold) {
    ScriptedMonitor monitor{port};
    const QString path = dir.copyFixture("exe/hello.exe");
    bool heldOnEveryWrite = true;
    auto answer = port.responder;
    port.responder = [&](const QByteArray& w) {
        heldOnEveryWrite = heldOnEveryWrite && held();
        answer(w);
    };
    EXPECT_EQ(onDownloadExecutable(link, chooser(path)), TransferOutcome::Completed);
    EXPECT_FALSE(chooserSawFlags);
    EXPECT_TRUE(heldOnEveryWrite);
    EXPECT_FALSE(port.writes.isEmpty());
    EXPECT_EQ(host.appended.mid(0, 3),
              (QList<QByteArray>{"\r", path.toLocal8Bit(), ": PSX-EXE format.\r"}));
    expectReleased();
}

TEST_F(DownloadExecutable, SendFailureIsReportedOnceForTheWholeCommand) {
    ScriptedMonitor monitor{port};
    const QString path = dir.copyFixture("exe/hello.exe");
    port.failOutput = true;
    onDownloadExecutable(link, chooser(path));
    EXPECT_EQ(host.messages.count("Could not send data to comms port!"), 1);
    expectReleased();
}

} // namespace
