#pragma once
// Edit > "Paste" and Shift+Insert: the clipboard's text goes to the console as
// if it were typed.
#include <QByteArray>
#include <QString>

namespace kestrel {

class MonitorLink;

// One byte per character, as the keys would type them: a line end (CR LF,
// LF or CR) is the Return key's CR; characters outside Latin-1 have no byte
// and are left out.
QByteArray pastedBytes(const QString& text);

// Sends `text` through the transmit path a byte at a time, holding the line
// as busy meanwhile; refused with the busy message while a transfer or auto
// file runs, ended by Stop. What was sent.
QByteArray pasteText(MonitorLink& link, const QString& text);

} // namespace kestrel
