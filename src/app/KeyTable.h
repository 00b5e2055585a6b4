#pragma once
// The window's key bindings (function keys and the Ctrl combinations) and what a key press types.
#include <QKeyCombination>

#include <optional>

class QKeyEvent;

namespace kestrel {

struct KeyBinding {
    QKeyCombination keys;
    int command;
};

// The bindings, in table order.
const KeyBinding* keyTableBegin();
const KeyBinding* keyTableEnd();

// The command a key press runs, if the key table binds it.
std::optional<int> boundCommand(const QKeyEvent& event);

// The one byte a key press types for the console: printable characters as
// themselves, Return as CR, Backspace as 8, Ctrl plus a letter as its control
// code. Nothing for keys that type no character (arrows, Delete, function
// keys, Escape, Tab, Alt combinations) or for characters outside Latin-1,
// which have no single-byte form.
std::optional<char> typedByte(const QKeyEvent& event);

} // namespace kestrel
