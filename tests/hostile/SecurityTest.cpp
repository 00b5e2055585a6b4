// Cheap checks that keep the program's attack surface where it is: no shell,
// console output that is only ever shown, files created without world write.
#include "AppIdentity.h"
#include "FileAccess.h"
#include "TerminalView.h"
#include "WindowFixture.h"

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace kestrel::test {
namespace {

TEST(Security, NoSourceHandsTextToAShell) {
    // Starting a program by path with an argument list (QProcess) is fine;
    // anything that goes through a shell or replaces the process is not.
    static const QRegularExpression shellCall(QStringLiteral(
        R"(\b(system|popen|execl|execlp|execle|execv|execvp|execvpe|wordexp)\s*\()"
        R"(|"/bin/sh"|"sh"\s*,\s*\{?\s*"-c"|startDetached\s*\(\s*QStringLiteral\("sh)"));
    int files = 0;
    for (const char* root : {"/src", "/resources"}) {
        QDirIterator it(QStringLiteral(KESTREL_SOURCE_DIR) + QLatin1String(root),
                        {QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile source(it.next());
            ASSERT_TRUE(source.open(QIODevice::ReadOnly));
            ++files;
            const QString text = QString::fromUtf8(source.readAll());
            const auto match = shellCall.match(text);
            EXPECT_FALSE(match.hasMatch())
                << source.fileName().toStdString() << ": " << match.captured().toStdString();
        }
    }
    EXPECT_GT(files, 20);
}

TEST(Security, FilesReceiveCreatesAreNeverWorldWritable) {
    QTemporaryDir dir;
    const mode_t saved = ::umask(0);
    ExclusiveFile file;
    const QString path = dir.filePath(QStringLiteral("block.bin"));
    const FileErrorCategory opened = file.open(path, ExclusiveFile::Mode::Write);
    ::umask(saved);
    ASSERT_EQ(opened, FileErrorCategory::None);
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & S_IWOTH, 0u);
    // The umask is still the user's: with 022 nobody else may write either.
    QFile::remove(path);
    const mode_t usual = ::umask(022);
    file.close();
    ASSERT_EQ(file.open(path, ExclusiveFile::Mode::Write), FileErrorCategory::None);
    ::umask(usual);
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

using ConsoleText = WindowFixture;

// What the console prints is shown, never acted on: text that looks like an
// auto file's local commands neither opens a file nor quits.
TEST_F(ConsoleText, LocalCommandsInConsoleOutputAreOnlyShown) {
    open();
    dialogs.answerYes = true;
    const QByteArray lines = "local dload /etc/shadow 80010000\r\nlocal load /bin/sh\r\n"
                             "local quit\r\nlocal auto /tmp/x.sio\r\n\x1b]0;title\x07";
    port->deliver(lines);
    emit port->onComm();
    QCoreApplication::processEvents();
    EXPECT_TRUE(port->writes.isEmpty());
    EXPECT_TRUE(dialogs.messages.isEmpty());
    EXPECT_TRUE(dialogs.questions.isEmpty());
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->terminalView()->terminalText().contains("local quit"));
    EXPECT_EQ(window->windowTitle(), "Kestrel v" + shortVersion());
}

} // namespace
} // namespace kestrel::test
