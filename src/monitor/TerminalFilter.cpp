#include "TerminalFilter.h"

namespace kestrel {

QByteArray filterReceivedText(const QByteArray& chunk) {
    if (chunk.isEmpty()) return chunk;
    const qsizetype zero = chunk.indexOf('\0');
    const QByteArray in = zero < 0 ? chunk : chunk.left(zero);

    // Passes 1 and 2. A backspace removes the byte before it; one at the start
    // (or after everything before it is gone) is dropped alone. Scanning once
    // with a stack gives what removing the first backspace again and again does.
    QByteArray text;
    text.reserve(in.size());
    for (char c : in) {
        if (c == '\b') {
            if (!text.isEmpty()) text.chop(1);
        } else {
            text.append(c);
        }
    }
    text.replace('\n', QByteArray());

    // Passes 3 and 4. A replacement can never form a new match with its
    // neighbours (neither replacement shares a letter with its pattern), so
    // one replace-all equals searching from the start after every change.
    text.replace(QByteArrayLiteral("SIOCONS"), QByteArrayLiteral("Kestrel"));
    text.replace(QByteArrayLiteral("F10 F2"), QByteArrayLiteral("ESC"));

    // Passes 5 and 6: every CR becomes CR LF, and a run of them collapses to
    // one (no LF is left from pass 2, so line ends are exactly the CRs).
    QByteArray out;
    out.reserve(text.size() + text.count('\r') + 1);
    for (char c : text) {
        if (c == '\r') {
            if (!out.endsWith("\r\n")) out.append("\r\n");
        } else {
            out.append(c);
        }
    }
    return out;
}

QByteArray appendToTerminalText(QByteArray text, const QByteArray& chunk) {
    if (text.size() >= TerminalBound) text.remove(0, TerminalCut);
    text += filterReceivedText(chunk);
    return text;
}

} // namespace kestrel
