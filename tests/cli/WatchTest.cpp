// The watch on a real file system: the quiet period is fired by the test, the
// file changes are the kernel's own notices.
#include "Watch.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileSystemWatcher>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>

using namespace kestrel::cli;

namespace {

class ManualQuietTimer : public QuietTimer {
public:
    void restart() override {
        ++restarts;
        running = true;
    }
    void stop() override { running = false; }
    // The quiet period ends now, if one is running.
    void fire() {
        if (!running) return;
        running = false;
        onQuiet();
    }
    int restarts = 0;
    bool running = false;
};

void writeFile(const QString& file, const QByteArray& bytes,
               QIODevice::OpenMode mode = QIODevice::Append) {
    QFile f(file);
    ASSERT_TRUE(f.open(mode));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

class WatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath(QStringLiteral("game.exe"));
        writeFile(path, "first", QIODevice::WriteOnly);
        auto owned = std::make_unique<ManualQuietTimer>();
        timer = owned.get();
        watch = std::make_unique<FileWatch>(path, std::move(owned));
        QObject::connect(watch.get(), &FileWatch::settled, [this] { ++settled; });
    }
    // Waits for the kernel's notice of a change: the quiet period starts over.
    void waitForRestart(int before) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return timer->restarts > before; }, 5000))
            << "no change noticed";
    }
    // Ends the quiet period until the watch stops asking for one.
    void settle() {
        for (int i = 0; i < 10 && timer->running; ++i)
            timer->fire();
    }

    QTemporaryDir dir;
    QString path;
    ManualQuietTimer* timer = nullptr;
    std::unique_ptr<FileWatch> watch;
    int settled = 0;
};

TEST_F(WatchTest, WritesInQuickSuccessionGiveOneRunAfterTheQuietPeriod) {
    for (const char* piece : {"header", "text", "data"})
        writeFile(path, piece);
    waitForRestart(0);
    EXPECT_EQ(settled, 0) << "nothing runs before the file has been quiet";
    settle();
    EXPECT_EQ(settled, 1);
    // Quiet since: no second run.
    timer->fire();
    EXPECT_EQ(settled, 1);

    // The next build is noticed as well.
    const int before = timer->restarts;
    writeFile(path, "rebuilt", QIODevice::WriteOnly);
    waitForRestart(before);
    settle();
    EXPECT_EQ(settled, 2);
}

struct Replacement {
    const char* name;
    void (*replace)(const QString& path);
};

class WatchFollowsTest : public WatchTest, public ::testing::WithParamInterface<Replacement> {};

TEST_P(WatchFollowsTest, FileReplacedIsFollowedAndItsNextWriteNoticed) {
    int before = timer->restarts;
    GetParam().replace(path);
    waitForRestart(before);
    settle();
    EXPECT_EQ(settled, 1);
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), "second");
    }
    // A write to the file now in its place (not a folder entry change) is
    // heard: the watch moved to the new file.
    before = timer->restarts;
    writeFile(path, " and more");
    waitForRestart(before);
    settle();
    EXPECT_EQ(settled, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Replacements, WatchFollowsTest,
    ::testing::Values(Replacement{"RenamedOver",
                                  [](const QString& p) {
                                      const QString fresh = p + QStringLiteral(".tmp");
                                      writeFile(fresh, "second", QIODevice::WriteOnly);
                                      ASSERT_EQ(std::rename(QFile::encodeName(fresh).constData(),
                                                            QFile::encodeName(p).constData()),
                                                0);
                                  }},
                      Replacement{"DeletedAndCreatedAgain",
                                  [](const QString& p) {
                                      ASSERT_TRUE(QFile::remove(p));
                                      writeFile(p, "second", QIODevice::WriteOnly);
                                  }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WatchTest, MissingFileWaitsUntilItComesBack) {
    int before = timer->restarts;
    ASSERT_TRUE(QFile::remove(path));
    waitForRestart(before);
    settle();
    EXPECT_EQ(settled, 0) << "a missing file is not run";
    before = timer->restarts;
    writeFile(path, "back", QIODevice::WriteOnly);
    waitForRestart(before);
    settle();
    EXPECT_EQ(settled, 1);
}

TEST_F(WatchTest, OtherFilesOfTheFolderAreNotAChange) {
    // A second watch on the folder tells when the kernel's notice of game.o
    // has been handed out; the watch under test gets it in the same pass.
    QFileSystemWatcher folder({dir.path()});
    bool folderNoticed = false;
    QObject::connect(&folder, &QFileSystemWatcher::directoryChanged, [&] { folderNoticed = true; });
    writeFile(dir.filePath(QStringLiteral("game.o")), "object", QIODevice::WriteOnly);
    ASSERT_TRUE(QTest::qWaitFor([&] { return folderNoticed; }, 5000));
    QCoreApplication::processEvents();
    EXPECT_EQ(timer->restarts, 0) << "another file of the build is not a change";
    settle();
    EXPECT_EQ(settled, 0);

    writeFile(path, "linked");
    waitForRestart(0);
    settle();
    EXPECT_EQ(settled, 1);
}

} // namespace
