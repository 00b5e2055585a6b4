#include "TerminalFilter.h"

#include <gtest/gtest.h>

using kestrel::appendToTerminalText;
using kestrel::filterReceivedText;

namespace {

struct FilterCase {
    const char* name;
    QByteArray in;
    QByteArray out;
    friend void PrintTo(const FilterCase& c, std::ostream* os) { *os << c.name; }
};

class FilterTable : public ::testing::TestWithParam<FilterCase> {};

TEST_P(FilterTable, RewritesChunk) {
    EXPECT_EQ(filterReceivedText(GetParam().in), GetParam().out);
}

const FilterCase filterCases[] = {
    {"CrLfStays", "abc\r\n", "abc\r\n"},
    {"LoneLfDropped", "abc\n", "abc"},
    {"LoneCrGetsLf", "abc\r", "abc\r\n"},
    {"BackspaceDeletesBefore", "ab\bc", "ac"},
    {"BackspaceAtStartDropped", "\bxy", "xy"},
    {"TwoBackspacesReachStart", "a\b\bz", "z"},
    {"RunOfLineEndsCollapses", "one\r\n\r\n\r\ntwo\r\n", "one\r\ntwo\r\n"},
    {"WordsRewritten", "run SIOCONS and press F10 F2", "run Kestrel and press ESC"},
    {"AdjacentSiocons", "SIOCONSSIOCONS", "KestrelKestrel"},
    {"AdjacentF10F2", "F10 F2F10 F2", "ESCESC"},
    {"LfCrPairIsOneBreak", "a\n\rb", "a\r\nb"},
    {"OnlyBackspaces", "\b\b\b", ""},
    {"EmptyStaysEmpty", "", ""},
    {"BackspaceEatsCr", "a\r\bb", "ab"},
    {"TextEndsAtZeroByte", QByteArray("ab\0cd", 5), "ab"},
    {"CrCrCollapses", "x\r\r\ry", "x\r\ny"},
};

INSTANTIATE_TEST_SUITE_P(Filter, FilterTable, ::testing::ValuesIn(filterCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TerminalBound, CutsOnlyAtOrAboveBound) {
    const QByteArray below(16383, 'a');
    EXPECT_EQ(appendToTerminalText(below, "Z").size(), 16384);

    QByteArray at(16384, 'a');
    at[4097] = 'B';
    const QByteArray after = appendToTerminalText(at, "Z");
    EXPECT_EQ(after.size(), 16384 - 4097 + 1);
    EXPECT_EQ(after.front(), 'B');
    EXPECT_EQ(after.back(), 'Z');
}

TEST(TerminalBound, CutMaySplitLineBreak) {
    // A CR LF pair straddling position 4097 loses its CR; the view then
    // begins with the LF, mid-line break.
    QByteArray text(16384, 'x');
    text[4096] = '\r';
    text[4097] = '\n';
    const QByteArray after = appendToTerminalText(text, "");
    EXPECT_EQ(after.front(), '\n');
}

TEST(TerminalBound, LineEndsCollapseOnlyWithinOneChunk) {
    QByteArray view;
    view = appendToTerminalText(view, "a\r");
    view = appendToTerminalText(view, "\n");
    EXPECT_EQ(view, "a\r\n") << "an LF arriving alone is dropped";
    view = appendToTerminalText(view, "\rb");
    EXPECT_EQ(view, "a\r\n\r\nb") << "a CR in the next chunk gives an empty line";
}

} // namespace
