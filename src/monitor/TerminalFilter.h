#pragma once
// How console text (and the program's own lines) become terminal text: line
// ends, backspaces and a few of the monitor's words are rewritten.
#include <QByteArray>

namespace kestrel {

// The six passes, in order: backspaces delete the byte before them (within the
// chunk only), LF is dropped, "SIOCONS" becomes "Kestrel", "F10 F2" becomes
// "ESC", every CR becomes CR LF, and runs of line ends collapse to one. The
// text ends at its first zero byte. Pure: no state, no side effects.
QByteArray filterReceivedText(const QByteArray& chunk);

// The terminal keeps its text bounded: when an append starts and the text is
// TerminalBound characters or longer (a line break counting as CR and LF), its
// first TerminalCut characters go first.
inline constexpr qsizetype TerminalBound = 16384;
inline constexpr qsizetype TerminalCut = 4097;

// The reference model of the terminal's text: what the view must hold after
// appending `chunk` to `text`. The window edits its document incrementally;
// this is what tests compare it with.
QByteArray appendToTerminalText(QByteArray text, const QByteArray& chunk);

} // namespace kestrel
