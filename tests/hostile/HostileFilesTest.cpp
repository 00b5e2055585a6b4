// Broken and hostile files handed to the window: executables whose headers
// lie, auto files of nothing or of junk, receive targets that cannot be
// written. Each gives a message or a terminal line and leaves nothing held.
#include "ExeFiles.h"
#include "FileAccess.h"
#include "FileModes.h"
#include "TerminalView.h"
#include "WindowOnSimulator.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPushButton>
#include <QTest>

#include <sys/mount.h>
#include <unistd.h>

namespace kestrel::test {
namespace {

class HostileFiles : public WindowOnSimulator {
protected:
    // Runs one command on a file and checks that it let go of everything.
    void runOn(int command, const QString& path) {
        window->clearTerminal();
        dialogs.messages.clear();
        dialogs.chosenFile = path;
        EXPECT_LT(runTimed(command), 4000);
        expectReleased();
        ExclusiveFile closed;
        if (QFileInfo::exists(path)) {
            EXPECT_EQ(closed.open(path, ExclusiveFile::Mode::Read), FileErrorCategory::None);
        }
    }
};

TEST_F(HostileFiles, ExecutablesWhoseHeadersLieEndWithALine) {
    start({});
    const SectionContents text{
        .name = ".text", .flags = 0x20, .address = 0x80010000, .data = kestrel::test::pattern(16)};
    SectionContents offsetPastEnd = text;
    offsetPastEnd.rawOffset = 0x7ffffff0;
    SectionContents sizePastEnd = text;
    sizePastEnd.size = 0x10000000;
    AOutContents inconsistent{.sections = {text}};
    inconsistent.optionalHeaderSize = 72;

    struct Case {
        const char* label;
        QByteArray bytes;
        QByteArray line;
    };
    const Case cases[] = {
        {"text size ffffffff",
         makePsExe({.size = 0xffffffff, .image = kestrel::test::pattern(100)}),
         "Error! The file ended early: 000064 of ffffffff bytes sent."},
        {"65535 sections", makeAOut({.sections = {text}, .sectionCount = 65535}),
         "Error! File section headers ccould not be read"},
        {"section offset past the end", makeAOut({.sections = {offsetPastEnd}}),
         "Error! The file ended early: 000000 of 000010 bytes sent."},
        {"section size past the end", makeAOut({.sections = {sizePastEnd}}),
         "Error! The file ended early: 000010 of 10000000 bytes sent."},
        {"optional header size 72", makeAOut(inconsistent),
         "Error! The file header and optional headers are not consistant"},
        {"A-OUT magic alone", QByteArray("\x62\x01", 2),
         "Error! The file header could not be read"},
        {"S-Format in two bytes", "S1", ": S-Format."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        runOn(CommandDownloadExecutable, writeFile(QString::fromLatin1(c.label), c.bytes));
        EXPECT_TRUE(terminalText().contains(c.line)) << terminalText().constData();
        EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();
    }
    // Files of 0 to 7 bytes are too short to be a PS-X EXE.
    for (int size = 0; size < 8; ++size) {
        SCOPED_TRACE(size);
        runOn(CommandDownloadExecutable,
              writeFile(QStringLiteral("short%1").arg(size), QByteArray("PS-X EXE").left(size)));
        EXPECT_TRUE(terminalText().contains(": Not a PlayStation executable"))
            << terminalText().constData();
    }
    EXPECT_TRUE(typeAndSeePrompt("dr")) << terminalText().constData();
}

TEST_F(HostileFiles, AutoFilesOfNothingOrJunkRunToTheirEnd) {
    start({});
    QByteArray junk;
    for (int i = 0; i < 3000; ++i)
        junk += static_cast<char>((i * 131 + 7) & 0xff);
    struct Case {
        const char* label;
        QByteArray bytes;
    };
    for (const Case& c : {Case{"empty", {}}, Case{"zero bytes", QByteArray(4096, '\0')},
                          Case{"binary junk", junk}}) {
        SCOPED_TRACE(c.label);
        runOn(CommandAuto, writeFile(QString::fromLatin1(c.label), c.bytes));
        EXPECT_EQ(field(FieldTask), "Auto file completed.");
        EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();
    }
    EXPECT_TRUE(typeAndSeePrompt("dr")) << terminalText().constData();
}

// A directory with a fresh tmpfs on it; empty when mounting is not permitted.
class Mounted {
public:
    Mounted(const QString& path, unsigned long flags, const char* options)
        : path_(QFile::encodeName(path)) {
        mounted_ = ::mount("tmpfs", path_.constData(), "tmpfs", flags, options) == 0;
    }
    ~Mounted() {
        if (mounted_) ::umount2(path_.constData(), MNT_DETACH);
    }
    bool ok() const { return mounted_; }

private:
    QByteArray path_;
    bool mounted_ = false;
};

TEST_F(HostileFiles, ReceiveIntoAFullDiskStopsWithAMessageAndClosesTheFile) {
    const QString disk = dir.filePath("disk");
    ASSERT_TRUE(QDir().mkpath(disk));
    Mounted tmpfs(disk, 0, "size=64k");
    if (!tmpfs.ok()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    start({});
    const QString target = disk + "/block.bin";
    // 128 KiB of the monitor's memory into 64 KiB of disk.
    dialogs.receiveAnswer =
        ReceiveRequest{target, QStringLiteral("80010000"), QStringLiteral("20000")};
    window->runCommand(CommandReceive);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialogs.messages.isEmpty(); }, 5000));
    const QString partial = target + ".partial";
    EXPECT_TRUE(dialogs.messages[0].startsWith("Can't write file " + partial + ": No space left"))
        << dialogs.messages[0].toStdString();
    EXPECT_TRUE(field(FieldTask).startsWith("Receive failed: ")) << field(FieldTask).toStdString();
    expectReleased();
    ExclusiveFile closed;
    EXPECT_EQ(closed.open(partial, ExclusiveFile::Mode::Read), FileErrorCategory::None);
    EXPECT_FALSE(QFileInfo::exists(target)) << "only a whole block becomes the file";
    // The count the user is told is what the file holds, to the byte.
    const QString held = QString::number(QFileInfo(partial).size());
    EXPECT_TRUE(dialogs.messages[0].contains("stopped after " + held + " of 131072 bytes"))
        << dialogs.messages[0].toStdString();
    // The rest of the block still reaches the terminal, then the prompt.
    EXPECT_TRUE(typeAndSeePrompt("dr"));
    // A second receive is not refused as if one were still running.
    dialogs.messages.clear();
    dialogs.receiveAnswer = ReceiveRequest{dir.filePath("small.bin"), "80010000", "10"};
    window->runCommand(CommandReceive);
    ASSERT_TRUE(QTest::qWaitFor([&] { return field(FieldTask) == "Received 16 bytes."; }, 3000))
        << field(FieldTask).toStdString();
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join('|').toStdString();
}

TEST_F(HostileFiles, ReceiveIntoADirectoryWithoutWritePermissionSaysSo) {
    const QString locked = dir.filePath("locked");
    ASSERT_TRUE(QDir().mkpath(locked));
    ASSERT_TRUE(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));
    start({});
    const QString target = locked + "/block.bin";
    dialogs.receiveAnswer =
        ReceiveRequest{target, QStringLiteral("80010000"), QStringLiteral("10")};
    {
        // Root too is refused by the folder's mode, as anyone else.
        const FileModesBindEveryone modesBind;
        ASSERT_TRUE(modesBind.ok());
        window->runCommand(CommandReceive);
    }
    EXPECT_EQ(dialogs.messages,
              QStringList{"Can't open file " + target + ", error = 5\n(Permission denied)"});
    expectReleased();
    EXPECT_FALSE(QFileInfo::exists(target));
    EXPECT_EQ(sim->report().counter("binary-reads"), 0u);
}

} // namespace
} // namespace kestrel::test
