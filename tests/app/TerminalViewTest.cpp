// The terminal view edits its document incrementally; what it shows must be
// exactly what the reference model of the terminal text gives.
#include "TerminalView.h"
#include "TerminalFilter.h"

#include <QTest>

#include <gtest/gtest.h>

#include <random>

namespace kestrel::test {
namespace {

QByteArray randomChunk(std::mt19937& rng) {
    static const QByteArray pieces[] = {
        "\r", "\n", "\r\n", "\b", "SIOCONS",           "SIOC", "F10 F2",
        ">>", " ",  "\xe9", "\t", QByteArray(1, '\0'), "\x1b"};
    std::uniform_int_distribution<int> kind(0, 3);
    std::uniform_int_distribution<int> piece(0, std::size(pieces) - 1);
    std::uniform_int_distribution<int> letter('a', 'z');
    std::uniform_int_distribution<int> length(0, 120);
    QByteArray chunk;
    const int n = length(rng);
    while (chunk.size() < n) {
        if (kind(rng) == 0)
            chunk += pieces[piece(rng)];
        else
            chunk += static_cast<char>(letter(rng));
    }
    // Now and then a long line, so the bound is crossed in many places.
    if (length(rng) == 7) chunk += QByteArray(3000, 'w');
    return chunk;
}

TEST(TerminalViewTest, RandomChunkStreamMatchesTheReferenceModel) {
    for (unsigned seed : {1u, 2u, 3u}) {
        std::mt19937 rng(seed);
        TerminalView view;
        QByteArray model;
        int cuts = 0;
        for (int i = 0; i < 1500; ++i) {
            const QByteArray chunk = randomChunk(rng);
            if (model.size() >= TerminalBound) ++cuts;
            model = appendToTerminalText(model, chunk);
            view.appendChunk(chunk);
            ASSERT_EQ(view.terminalLength(), model.size()) << "seed " << seed << " chunk " << i;
            if (i % 50 == 0 || model.startsWith('\n')) {
                ASSERT_EQ(view.terminalText(), model) << "seed " << seed << " chunk " << i;
            }
        }
        EXPECT_EQ(view.terminalText(), model);
        EXPECT_GT(cuts, 3) << "the stream never crossed the bound";
    }
}

TEST(TerminalViewTest, BoundCutsAt16384NotBefore) {
    struct Case {
        qsizetype length;
        bool cut;
    };
    for (const Case& c : {Case{16383, false}, Case{16384, true}, Case{16385, true}}) {
        TerminalView view;
        // Lines of 98 characters and CR LF, then filler to the exact length.
        QByteArray text;
        while (text.size() + 100 <= c.length)
            text += QByteArray(98, 'q') + "\r\n";
        text += QByteArray(c.length - text.size(), 'r');
        view.appendChunk(text);
        ASSERT_EQ(view.terminalLength(), c.length);
        view.appendChunk("!");
        const QByteArray expected = (c.cut ? text.mid(TerminalCut) : text) + "!";
        EXPECT_EQ(view.terminalText(), expected) << c.length;
    }
}

TEST(TerminalViewTest, CutBetweenCrAndLfLeavesTheLfAtTheHead) {
    TerminalView view;
    QByteArray model;
    // The 4097th character is the CR of a line break.
    const QByteArray head = QByteArray(4096, 'a') + "\r\n";
    const QByteArray rest = QByteArray(TerminalBound - head.size(), 'b');
    for (const QByteArray& chunk :
         {head, rest, QByteArray("c"), QByteArray(4097, 'd'), QByteArray("e")}) {
        model = appendToTerminalText(model, chunk);
        view.appendChunk(chunk);
        ASSERT_EQ(view.terminalText(), model);
    }
    EXPECT_FALSE(view.terminalText().startsWith('\n'));
}

TEST(TerminalViewTest, LocalEditsStayAndTheCaretReturnsToTheEnd) {
    TerminalView view;
    view.show();
    view.appendChunk("first line\r");
    QTest::keyClicks(&view, "typed");
    const QByteArray before = view.terminalText();
    EXPECT_EQ(before, "first line\r\ntyped");

    QTextCursor cursor = view.textCursor();
    cursor.setPosition(2);
    cursor.setPosition(5, QTextCursor::KeepAnchor);
    view.setTextCursor(cursor);
    view.appendChunk("\r\nnext\r");
    EXPECT_EQ(view.terminalText(), appendToTerminalText(before, "\r\nnext\r"));
    EXPECT_FALSE(view.textCursor().hasSelection());
    EXPECT_EQ(view.textCursor().position(), view.document()->characterCount() - 1);
}

TEST(TerminalViewTest, ClearEmptiesTheView) {
    TerminalView view;
    view.appendChunk(QByteArray(TerminalBound, 'z'));
    view.appendChunk("a\r");
    view.clearText();
    EXPECT_EQ(view.terminalLength(), 0);
    view.appendChunk("top\r");
    EXPECT_EQ(view.terminalText(), "top\r\n");
}

} // namespace
} // namespace kestrel::test
