// kestrel-cli's progress display takes the transfer's numbers from the
// host's structured progress call, not from the counter field's text: a
// reworded counter must not change (or silence) the display.
#include "CliHost.h"
#include "Host.h"
#include "Pty.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace kestrel::test {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

class CliProgress : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(screen.open(), "");
        err.reset(std::fopen(screen.slavePath().c_str(), "w"));
        out.reset(std::fopen("/dev/null", "w"));
        ASSERT_TRUE(err && out);
        host = std::make_unique<cli::CliHost>(out.get(), err.get(), true);
    }
    QByteArray shown() { return QByteArray::fromStdString(screen.readUntilQuiet(50)); }

    sim::Pty screen;
    std::unique_ptr<std::FILE, FileCloser> err, out;
    std::unique_ptr<cli::CliHost> host;
};

TEST_F(CliProgress, DrawsTheNumbersItIsGivenWhateverTheCounterSays) {
    host->setField(FieldCounter, QStringLiteral("000800/003000"));
    host->setField(FieldCounter, QStringLiteral("2048 of 12288 bytes"));
    EXPECT_EQ(shown(), QByteArray()) << "the counter's text is for the window";

    host->transferProgress(6144, 12288);
    const QByteArray half = shown();
    EXPECT_TRUE(half.contains(" 50% 6.0 KiB of 12.0 KiB")) << half.constData();

    host->transferProgress(12288, 12288);
    EXPECT_TRUE(shown().contains("100% 12.0 KiB of 12.0 KiB"));
    host->transferProgressEnded();
    EXPECT_EQ(shown(), "\r\033[K") << "the display is taken away";
}

} // namespace
} // namespace kestrel::test
