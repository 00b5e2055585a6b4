#include "SessionLog.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using kestrel::SessionLog;

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// A clock that starts at 2026-12-10 14:03:07.412 local time and moves on
// 250 ms each time it is read, so every stamp shows which read it was.
SessionLog::Clock steppingClock() {
    auto next = std::make_shared<QDateTime>(QDate(2026, 12, 10), QTime(14, 3, 7, 412));
    return [next] {
        const QDateTime now = *next;
        *next = next->addMSecs(250);
        return now.toMSecsSinceEpoch();
    };
}

struct LogCase {
    const char* name;
    bool timestamps;
    std::vector<QByteArray> writes;
    QByteArray file;
    friend void PrintTo(const LogCase& c, std::ostream* os) { *os << c.name; }
};

class LogTable : public ::testing::TestWithParam<LogCase> {};

TEST_P(LogTable, WritesLinesAsShown) {
    const LogCase& c = GetParam();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("session.log"));
    {
        SessionLog log(SessionLog::Mode::Text, steppingClock());
        ASSERT_FALSE(log.open(path));
        log.setTimestamps(c.timestamps);
        for (const QByteArray& w : c.writes)
            log.write(w);
    }
    EXPECT_EQ(readAll(path), c.file);
}

const LogCase logCases[] = {
    {"CrLfBecomesLf", false, {"one\r\ntwo\r\n"}, "one\ntwo\n"},
    {"LoneCrAndLoneLfBecomeLf", false, {"one\rtwo\nthree"}, "one\ntwo\nthree"},
    {"CrLfSplitAcrossWritesIsOneEnd", false, {"one\r", "\ntwo\r\n"}, "one\ntwo\n"},
    {"EmptyLinesKept", false, {"a\r\n\r\nb\r\n"}, "a\n\nb\n"},
    {"StampAtEachLineStart",
     true,
     {"one\r\ntwo\r\n"},
     "2026-12-10 14:03:07.412 one\n2026-12-10 14:03:07.662 two\n"},
    // A line is stamped when its first character arrives, not when the line
    // before it ended; a line that never starts has no stamp.
    {"StampWhenLineStartsNotWhenPreviousEnds",
     true,
     {"ab", "c\r\n", "d", "e\r\n"},
     "2026-12-10 14:03:07.412 abc\n2026-12-10 14:03:07.662 de\n"},
    // Every line has its time, a blank one too (stamped when it ends).
    {"BlankLinesAreStampedToo",
     true,
     {"a\r\n\r\n", "\r", "b"},
     "2026-12-10 14:03:07.412 a\n2026-12-10 14:03:07.662 \n2026-12-10 14:03:07.912 \n"
     "2026-12-10 14:03:08.162 b"},
    // The stamp's date and time are cached per second: the fourth read is in
    // the next second.
    {"StampCrossesSecond",
     true,
     {"1\r", "2\r", "3\r", "4\r"},
     "2026-12-10 14:03:07.412 1\n2026-12-10 14:03:07.662 2\n2026-12-10 14:03:07.912 3\n"
     "2026-12-10 14:03:08.162 4\n"},
};

INSTANTIATE_TEST_SUITE_P(SessionLog, LogTable, ::testing::ValuesIn(logCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SessionLog, AppendsToWhatIsThere) {
    QTemporaryDir dir;
    const QString path = kestrel::test::writeTestFile(dir, QStringLiteral("a.log"), "before\n");
    SessionLog log;
    ASSERT_FALSE(log.open(path));
    log.write("after\r\n");
    EXPECT_EQ(readAll(path), QByteArray("before\nafter\n"));
}

TEST(SessionLog, RawKeepsEveryByte) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("raw.log"));
    const QByteArray bytes("a\r\n\0\b\r\xff\x7fSIOCONS\n", 15);
    {
        SessionLog log(SessionLog::Mode::Raw);
        ASSERT_FALSE(log.open(path));
        log.setTimestamps(true); // raw bytes carry no stamps whatever is set
        log.write(bytes.left(5));
        log.write(bytes.mid(5));
    }
    EXPECT_EQ(readAll(path), bytes);
}

// The file holds each line as soon as its end is logged, and an unfinished
// line within the flush interval, while the log is still open: what a killed
// program leaves.
TEST(SessionLog, FlushedAtLineEndAndAfterInterval) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("s.log"));
    SessionLog log;
    ASSERT_FALSE(log.open(path));
    log.write("line one\r\n");
    EXPECT_EQ(readAll(path), QByteArray("line one\n"));
    log.write("part");
    EXPECT_TRUE(QTest::qWaitFor([&] { return readAll(path) == "line one\npart"; }, 2000))
        << readAll(path).toStdString();
}

TEST(SessionLog, OpenFailureIsReported) {
    SessionLog log;
    const auto error = log.open(QStringLiteral("/nonexistent-folder/x.log"));
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->isEmpty());
    EXPECT_FALSE(log.isOpen());
}

// A log whose writes fail, or whose file is gone so that what is written
// reaches nothing, says so once with the reason, stops, and drops later
// writes without a word.
struct FailureCase {
    const char* name;
    // Opens the log on its file and then takes that file away; the path.
    std::function<QString(SessionLog&, const QTemporaryDir&)> breakIt;
    const char* reason;
    friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
};

// A file size limit stands in for a disk that fills in the middle of a
// write; the test restores the limit and the signal it raises.
class FailureTable : public ::testing::TestWithParam<FailureCase> {
protected:
    void SetUp() override {
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &savedLimit_), 0);
        savedSignal_ = std::signal(SIGXFSZ, SIG_IGN);
    }
    void TearDown() override {
        ::setrlimit(RLIMIT_FSIZE, &savedLimit_);
        std::signal(SIGXFSZ, savedSignal_);
    }

private:
    rlimit savedLimit_{};
    void (*savedSignal_)(int) = SIG_DFL;
};

TEST_P(FailureTable, SaidOnceWithTheReasonThenStops) {
    QTemporaryDir dir;
    SessionLog log;
    QStringList reports;
    log.setFailureHandler([&](const QString& text) { reports << text; });
    const QString path = GetParam().breakIt(log, dir);
    ASSERT_TRUE(log.isOpen());
    log.write("first\r\n");
    log.write("second\r\n");
    log.write("unfinished");
    log.flush();
    log.close();
    ASSERT_EQ(reports.size(), 1) << reports.join('|').toStdString();
    EXPECT_EQ(reports[0], QStringLiteral("Cannot write the log %1 (%2); logging has stopped.")
                              .arg(path, QString::fromLatin1(GetParam().reason)));
    EXPECT_FALSE(log.isOpen());
}

QString openIn(SessionLog& log, const QString& path) {
    EXPECT_FALSE(log.open(path, SessionLog::Files::Any));
    return path;
}

const FailureCase failureCases[] = {
    // Writes to /dev/full find no space left.
    {"FullDisk", [](SessionLog& log, const QTemporaryDir&) { return openIn(log, "/dev/full"); },
     "No space left on device"},
    // The first write is cut short at the limit; the rest of it fails.
    {"FillsMidWrite",
     [](SessionLog& log, const QTemporaryDir& dir) {
         const QString path =
             kestrel::test::writeTestFile(dir, QStringLiteral("s.log"), QByteArray(4093, 'x'));
         const rlimit limit{4096, RLIM_INFINITY};
         EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
         return openIn(log, path);
     },
     "File too large"},
    {"FolderRemoved",
     [](SessionLog& log, const QTemporaryDir& dir) {
         EXPECT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("logs")));
         const QString path = openIn(log, dir.filePath(QStringLiteral("logs/s.log")));
         EXPECT_TRUE(QDir(dir.filePath(QStringLiteral("logs"))).removeRecursively());
         return path;
     },
     "the file or its folder has been removed"},
    {"FileRemoved",
     [](SessionLog& log, const QTemporaryDir& dir) {
         const QString path = openIn(log, dir.filePath(QStringLiteral("s.log")));
         EXPECT_TRUE(QFile::remove(path));
         return path;
     },
     "the file or its folder has been removed"},
};

INSTANTIATE_TEST_SUITE_P(SessionLog, FailureTable, ::testing::ValuesIn(failureCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Removed after everything was written and before the log was closed: what
// it held is lost all the same, and closing says so.
TEST(SessionLog, RemovalNoticedWhenClosing) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("s.log"));
    SessionLog log;
    QStringList reports;
    log.setFailureHandler([&](const QString& text) { reports << text; });
    ASSERT_FALSE(log.open(path));
    log.write("all of it\r\n");
    ASSERT_TRUE(QFile::remove(path));
    log.close();
    EXPECT_EQ(reports.size(), 1) << reports.join('|').toStdString();
}

// A log is a regular file, or a new one. A pipe would hold the program at
// open until someone reads it, and later whenever its reader stops; a device
// or a folder is no place for one.
TEST(SessionLog, TakesOnlyRegularFiles) {
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // With a reader the pipe opens at once; it is refused all the same.
    const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const std::pair<QString, const char*> refused[] = {
        {fifo, "not a regular file"},
        {QStringLiteral("/dev/null"), "not a regular file"},
        {dir.path(), "Is a directory"},
    };
    for (const auto& [path, reason] : refused) {
        SessionLog log;
        EXPECT_EQ(log.open(path), std::optional<QString>(QString::fromLatin1(reason)))
            << path.toStdString();
        EXPECT_FALSE(log.isOpen());
    }
    ::close(reader);
    const QString existing = kestrel::test::writeTestFile(dir, QStringLiteral("old.log"), "x\n");
    for (const QString& path : {existing, dir.filePath(QStringLiteral("new.log"))}) {
        SessionLog log;
        EXPECT_FALSE(log.open(path)) << path.toStdString();
        EXPECT_TRUE(log.isOpen());
    }
}

} // namespace
