// The settings store is a file that is rewritten and flushed to disk whenever
// a value is set; the window sets only what changes.
#include "WindowFixture.h"

#include <QFile>
#include <QSettings>

#include <sys/stat.h>

namespace kestrel::test {
namespace {

using SettingsWritesTest = WindowFixture;

// A rewrite puts a new file in the old one's place; the old one, held open
// here, is then left without a name.
bool replacedSince(const QFile& held) {
    struct stat info {};
    return ::fstat(held.handle(), &info) != 0 || info.st_nlink == 0;
}

TEST_F(SettingsWritesTest, StartWithTheSizeStoredWritesNothing) {
    QSettings().setValue(QStringLiteral("Window/Size_x"), 640);
    QSettings().setValue(QStringLiteral("Window/Size_y"), 480);
    QFile held(QSettings().fileName());
    ASSERT_TRUE(held.open(QIODevice::ReadOnly));
    open();
    EXPECT_EQ(window->clientArea()->size(), QSize(640, 480));
    EXPECT_FALSE(replacedSince(held));

    window->resize(window->size() + QSize(30, 20));
    EXPECT_TRUE(replacedSince(held));
    EXPECT_EQ(stored("Window/Size_x").toInt(), 670);
    EXPECT_EQ(stored("Window/Size_y").toInt(), 500);
}

} // namespace
} // namespace kestrel::test
