#pragma once
// The terminal: an editable, unwrapped text area that console output and the
// program's own lines are appended to through the received-text filter, with
// its length bounded. Appends edit the document at its ends only, so a stream
// of small chunks never relays out the whole text.
#include <QByteArray>
#include <QPlainTextEdit>

namespace kestrel {

class TerminalView : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TerminalView(QWidget* parent = nullptr);

    // Cuts the head when the bound is reached, appends the filtered chunk,
    // puts the caret at the end, scrolls to it and takes the focus.
    // Returns the text as filtered, for whoever also keeps it (the log).
    QByteArray appendChunk(const QByteArray& chunk);
    void clearText();

    // The text as 8-bit characters with CR LF line breaks, and its length
    // counted the same way (a line break is two characters).
    QByteArray terminalText() const;
    qsizetype terminalLength() const;

private:
    void cutHead(qsizetype count);

    // A cut can fall between the CR and the LF of a line break; the document
    // cannot hold a lone LF, so it is remembered here until the next cut.
    bool leadingLineFeed_ = false;
};

} // namespace kestrel
