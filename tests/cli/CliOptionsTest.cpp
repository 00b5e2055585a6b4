#include "CliOptions.h"

#include <gtest/gtest.h>

using namespace kestrel::cli;
using kestrel::FlowControl;
using kestrel::LineSettings;

namespace {

Options parseOk(const QStringList& args) {
    auto r = parseCommandLine(args);
    if (auto* u = std::get_if<Usage>(&r)) ADD_FAILURE() << u->text.toStdString();
    return std::holds_alternative<Options>(r) ? std::get<Options>(r) : Options{};
}

TEST(CliOptions, DefaultsComeFromOneTable) {
    const Options o = parseOk({"term"});
    EXPECT_TRUE(o.port.isEmpty());
    EXPECT_TRUE(o.settings.isEmpty());
    EXPECT_FALSE(o.line.has_value());
    EXPECT_EQ(o.flow, FlowControl::None);
    EXPECT_FALSE(o.quiet);
    EXPECT_FALSE(o.thenTerminal);
    EXPECT_EQ(o.command, "term");
}

TEST(CliOptions, LongShortAndInlineForms) {
    const Options o = parseOk({"-p", "/dev/ttyUSB0", "--settings=115200,n,8,1", "-fxonrts", "-q",
                               "--then-terminal", "dload", "game.bin", "80100000"});
    EXPECT_EQ(o.port, "/dev/ttyUSB0");
    EXPECT_EQ(o.settings, "115200,n,8,1");
    EXPECT_EQ(o.line, LineSettings::parse(u"115200,n,8,1"));
    EXPECT_EQ(o.flow, FlowControl::RtsCtsXonXoff);
    EXPECT_TRUE(o.quiet);
    EXPECT_TRUE(o.thenTerminal);
    EXPECT_EQ(o.command, "dload");
    EXPECT_EQ(o.arguments, (QStringList{"game.bin", "80100000"}));
}

TEST(CliOptions, FlowNamesAndSettingsTextsLandTyped) {
    const std::pair<const char*, FlowControl> flows[] = {
        {"none", FlowControl::None},
        {"XonXoff", FlowControl::XonXoff},
        {"rts", FlowControl::RtsCts},
        {"xonrts", FlowControl::RtsCtsXonXoff},
    };
    for (const auto& [name, flow] : flows)
        EXPECT_EQ(parseOk({"-f", name, "term"}).flow, flow) << name;

    const Options upper = parseOk({"-s", "57600,E,7,2", "term"});
    ASSERT_TRUE(upper.line.has_value());
    EXPECT_EQ(upper.line->text(), "57600,E,7,2");
    // A text that says no settings is kept as given for the refusal, which
    // comes once the port is known.
    const Options bad = parseOk({"-s", "fast,q,9,9", "term"});
    EXPECT_EQ(bad.settings, "fast,q,9,9");
    EXPECT_FALSE(bad.line.has_value());
}

TEST(CliOptions, OptionsMayFollowTheCommandAndDoubleDashEndsThem) {
    const Options o = parseOk({"load", "game.exe", "--port", "/dev/pts/4"});
    EXPECT_EQ(o.port, "/dev/pts/4");
    EXPECT_EQ(o.arguments, QStringList{"game.exe"});
    EXPECT_EQ(parseOk({"load", "--", "-odd-name.exe"}).arguments, QStringList{"-odd-name.exe"});
    EXPECT_TRUE(parseOk({"load", "game.exe", "--watch"}).watch);
    EXPECT_FALSE(parseOk({"load", "game.exe"}).watch);
    EXPECT_TRUE(parseOk({"auto", "boot.sio", "--verify"}).verify);
    EXPECT_FALSE(parseOk({"auto", "boot.sio"}).verify);
}

TEST(CliOptions, HelpAndVersionExitZero) {
    for (const QStringList& args : {QStringList{"--help"}, QStringList{"-h"},
                                    QStringList{"--version"}, QStringList{"load", "--help"}}) {
        auto r = parseCommandLine(args);
        ASSERT_TRUE(std::holds_alternative<Usage>(r)) << args.join(' ').toStdString();
        EXPECT_EQ(std::get<Usage>(r).exitStatus, 0);
    }
    const auto help = std::get<Usage>(parseCommandLine({"--help"})).text;
    EXPECT_TRUE(help.contains("Ctrl-]"));
    EXPECT_TRUE(help.contains("receive FILE ADDRESS LENGTH"));
}

TEST(CliOptions, MistakesExitTwoWithAReason) {
    const std::pair<QStringList, const char*> cases[] = {
        {{}, "no command"},
        {{"frobnicate"}, "unknown command"},
        {{"load"}, "'load' takes 1 argument"},
        {{"load", "a", "b"}, "'load' takes 1 argument"},
        {{"dload", "a"}, "'dload' takes 2 arguments"},
        {{"receive", "f", "0"}, "'receive' takes 3 arguments"},
        {{"term", "extra"}, "'term' takes 0 arguments"},
        {{"-x", "term"}, "unknown option '-x'"},
        {{"--port"}, "--port needs a device"},
        {{"--flow", "sideways", "term"}, "unknown flow control 'sideways'"},
        {{"--quiet=yes", "term"}, "takes no value"},
        {{"load", ""}, "empty argument"},
        {{"--log", "", "term"}, "--log needs a file"},
        {{"--log-raw"}, "--log-raw needs a file"},
        {{"--timestamps", "term"}, "give --log too"},
        {{"--watch", "term"}, "--watch goes with load or auto, not 'term'"},
        {{"--watch", "dload", "f", "0"}, "--watch goes with load or auto, not 'dload'"},
        {{"--watch", "auto", "-"}, "standard input cannot be watched"},
        {{"-p", "COM9", "term"}, "COM1 to COM8"},
        {{"--port=com0", "term"}, "COM1 to COM8"},
        {{"--verify", "term"}, "--verify goes with load, dload or auto, not 'term'"},
        {{"--verify", "receive", "f", "0", "1"},
         "--verify goes with load, dload or auto, not 'receive'"},
    };
    for (const auto& [args, reason] : cases) {
        auto r = parseCommandLine(args);
        ASSERT_TRUE(std::holds_alternative<Usage>(r)) << args.join(' ').toStdString();
        const Usage& u = std::get<Usage>(r);
        EXPECT_EQ(u.exitStatus, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(u.text.contains(reason)) << u.text.toStdString();
    }
}

TEST(CliOptions, LogOptionsGoWithEveryCommand) {
    for (const char* command : {"term", "ports"}) {
        const Options o = parseOk({"--log", "s.log", "--timestamps", "--log-raw=r.bin", command});
        EXPECT_EQ(o.logPath, "s.log");
        EXPECT_TRUE(o.timestamps);
        EXPECT_EQ(o.rawLogPath, "r.bin");
    }
    EXPECT_FALSE(parseOk({"--log", "s.log", "load", "x.exe"}).timestamps);
}

TEST(CliOptions, ShortFlagsCombine) {
    const Options o = parseOk({"-qt", "load", "game.exe"});
    EXPECT_TRUE(o.quiet);
    EXPECT_TRUE(o.thenTerminal);
    // A short option that takes a value still takes the rest of the word.
    EXPECT_EQ(parseOk({"-qp/dev/pts/4", "term"}).port, "/dev/pts/4");
}

} // namespace
