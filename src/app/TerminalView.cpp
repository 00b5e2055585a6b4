#include "TerminalView.h"

#include "TerminalFilter.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace kestrel {

namespace {

// Filtered text holds line ends only as CR LF pairs; each becomes one block
// break of the document.
QString documentText(const QByteArray& filtered) {
    QString text = QString::fromLatin1(filtered);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return text;
}

} // namespace

TerminalView::TerminalView(QWidget* parent) : QPlainTextEdit(parent) {
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Tab moves the focus between the window's controls, as in a dialog.
    setTabChangesFocus(true);
    // The terminal is a scroll-back, not a document: an undo history of
    // console output would only grow.
    setUndoRedoEnabled(false);
}

qsizetype TerminalView::terminalLength() const {
    const QTextDocument* doc = document();
    // characterCount() counts one separator per block break plus the
    // document's final one; a break is CR LF here.
    return (doc->characterCount() - 1) + (doc->blockCount() - 1) + (leadingLineFeed_ ? 1 : 0);
}

QByteArray TerminalView::terminalText() const {
    QString text = document()->toRawText();
    text.replace(QChar::ParagraphSeparator, QStringLiteral("\r\n"));
    QByteArray bytes = text.toLatin1();
    if (leadingLineFeed_) bytes.prepend('\n');
    return bytes;
}

void TerminalView::cutHead(qsizetype count) {
    qsizetype remaining = count;
    if (leadingLineFeed_ && remaining > 0) {
        leadingLineFeed_ = false;
        --remaining;
    }
    int documentChars = 0;
    for (QTextBlock block = document()->begin(); remaining > 0 && block.isValid();
         block = block.next()) {
        const int textLength = block.length() - 1;
        if (remaining <= textLength) {
            documentChars += static_cast<int>(remaining);
            remaining = 0;
            break;
        }
        documentChars += textLength;
        remaining -= textLength;
        if (!block.next().isValid()) break;
        ++documentChars; // the block break, CR LF in the terminal's terms
        if (remaining == 1) leadingLineFeed_ = true;
        remaining -= std::min<qsizetype>(remaining, 2);
    }
    QTextCursor head(document());
    head.setPosition(documentChars, QTextCursor::KeepAnchor);
    head.removeSelectedText();
}

QByteArray TerminalView::appendChunk(const QByteArray& chunk) {
    if (terminalLength() >= TerminalBound) cutHead(TerminalCut);
    const QByteArray filtered = filterReceivedText(chunk);
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    if (!filtered.isEmpty()) end.insertText(documentText(filtered));
    // A caret already at the end has moved along with the insertion; setting
    // it again would only cost another pass over the last block.
    const QTextCursor caret = textCursor();
    if (caret.hasSelection() || caret.position() != end.position()) setTextCursor(end);
    ensureCursorVisible();
    setFocus(Qt::OtherFocusReason);
    return filtered;
}

void TerminalView::clearText() {
    leadingLineFeed_ = false;
    clear();
}

} // namespace kestrel
