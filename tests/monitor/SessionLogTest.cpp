#include "SessionLog.h"
#include "TestFiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <vector>

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
    {"EmptyLineHasStampOnlyWhenItHasText",
     true,
     {"a\r\n\r\n", "b"},
     "2026-12-10 14:03:07.412 a\n\n2026-12-10 14:03:07.662 b"},
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

// Writes to /dev/full fail with "no space left": the failure is reported
// once, logging stops, and later writes are dropped without a word.
TEST(SessionLog, WriteFailureReportedOnceThenStops) {
    SessionLog log;
    QStringList reports;
    log.setFailureHandler([&](const QString& text) { reports << text; });
    ASSERT_FALSE(log.open(QStringLiteral("/dev/full")));
    log.write("first\r\n");
    log.write("second\r\n");
    log.flush();
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].contains(QStringLiteral("/dev/full"))) << reports[0].toStdString();
    EXPECT_TRUE(reports[0].contains(QStringLiteral("logging has stopped")));
    EXPECT_FALSE(log.isOpen());
}

} // namespace
