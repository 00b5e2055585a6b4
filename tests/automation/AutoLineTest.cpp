#include "AutoFile.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

struct NormaliseCase {
    const char* name;
    QByteArray line;
    QByteArray expected;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const NormaliseCase& c, std::ostream* os) {
    *os << c.name;
}

class Normalise : public ::testing::TestWithParam<NormaliseCase> {};

TEST_P(Normalise, GivesTheLineTheConsoleOrInterpreterSees) {
    EXPECT_EQ(normaliseAutoLine(GetParam().line), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Normalise,
    ::testing::Values(
        NormaliseCase{"TabBetweenWordsAndTrailingSpace", "dir\tfoo ", "dir foo"},
        NormaliseCase{"RunsOfSpacesAndTabs", "a \t  \t b     c", "a b c"},
        NormaliseCase{"PrefixAfterSpaceRemoved", "mem 0x80010000 0x10", "mem 80010000 10"},
        NormaliseCase{"CapitalPrefixKeptThenLowered", "mem 0X80010000", "mem 0x80010000"},
        NormaliseCase{"PrefixAtLineStartKept", "0x12 ab", "0x12 ab"},
        NormaliseCase{"PrefixAfterTabRemoved", "dload f\t0xff", "dload f ff"},
        // Occurrences are those of the text before any removal.
        NormaliseCase{"PrefixRepeatedLosesOneZeroX", "go 0x0x1", "go 0x1"},
        // The prefix goes after the runs are collapsed, so its space and the
        // next one stay together.
        NormaliseCase{"LonePrefixLeavesTwoSpaces", "local echo 0x hi", "local echo  hi"},
        NormaliseCase{"PrefixAtEndLeavesNothingAfterTrim", "echo 0x", "echo"},
        NormaliseCase{"LowerCaseWholeLine", "LOCAL DLOAD GAME.DAT 80100000",
                      "local dload game.dat 80100000"},
        NormaliseCase{"BytesAbove127Unchanged", "Caf\xc3\x89 \xc9", "caf\xc3\x89 \xc9"},
        NormaliseCase{"LineOfBlanks", " \t  \t", ""},
        NormaliseCase{"OtherWhiteSpaceTrimmedAtEnds", "\v\f dir \f\v", "dir"},
        NormaliseCase{"InnerControlCharactersKept", "a\vb", "a\vb"}),
    [](const auto& info) { return info.param.name; });

struct CutCase {
    const char* line;
    const char* keyword;
    const char* firstArg;
    const char* secondArg;
    const char* rest;
};

// The local-command cutting of an auto-file line, as the runner does it.
TEST(Cut, WorkedLinesGiveKeywordArgumentsAndRest) {
    const CutCase cases[] = {
        {"local dload game.dat 80100000", "dload", "game.dat", "80100000", "game.dat 80100000"},
        {"local msgbox insert the disc now", "msgbox", "insert", "the", "insert the disc now"},
        {"local sleep 5", "sleep", "5", "5", "5"},
        {"local cls", "cls", "cls", "cls", "cls"},
        {"local", "local", "local", "local", "local"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const CutText first = cut(c.line);
        EXPECT_EQ(first.word, QByteArrayView("local"));
        const CutText keyword = cut(first.remainder);
        const CutText firstArg = cut(keyword.remainder);
        const CutText secondArg = cut(firstArg.remainder);
        EXPECT_EQ(keyword.word, QByteArrayView(c.keyword));
        EXPECT_EQ(firstArg.word, QByteArrayView(c.firstArg));
        EXPECT_EQ(secondArg.word, QByteArrayView(c.secondArg));
        EXPECT_EQ(keyword.remainder, QByteArrayView(c.rest));
    }
}

TEST(Cut, SplitsAtTheFirstSpaceOnly) {
    const CutText leading = cut(" a");
    EXPECT_EQ(leading.word, QByteArrayView(""));
    EXPECT_EQ(leading.remainder, QByteArrayView("a"));
    const CutText trailing = cut("a ");
    EXPECT_EQ(trailing.word, QByteArrayView("a"));
    EXPECT_EQ(trailing.remainder, QByteArrayView(""));
    const CutText empty = cut("");
    EXPECT_TRUE(empty.word.isEmpty());
    EXPECT_TRUE(empty.remainder.isEmpty());
}

} // namespace
