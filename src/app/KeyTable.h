#pragma once
// The window's keys: what each one does, the key a menu item shows and the
// help text's list of keys all come from one table. Also what a key press
// types.
#include <QKeyCombination>
#include <QString>

#include <optional>

class QKeyEvent;

namespace kestrel {

struct KeyBinding {
    QKeyCombination keys;
    // The command the key runs: a menu command, CommandExit for the keys
    // that ask the quit question, or StopButtonId for the key of the Stop
    // button.
    int command;
    // What the help text says the key does; none: the key is not listed.
    const char* help = nullptr;
    // The key counts whatever modifiers are held with it.
    bool anyModifiers = false;
};

// The bindings, in table order: the help text lists them in this order, and a
// menu item shows the first key bound to its command.
const KeyBinding* keyTableBegin();
const KeyBinding* keyTableEnd();

// The binding of a key press, if the table has one.
const KeyBinding* findBinding(const QKeyEvent& event);

// A key as the menu and the help text name it ("Shift+F3", "Shift+Insert").
QString keyText(QKeyCombination keys);

// The text a menu item for the command shows after its label's tab: its key,
// or nothing when no key runs it.
QString shortcutText(int command);

// The help text's lines of keys, one "key<tab>what it does" each.
QString keyHelpLines();

// The one byte a key press types for the console: printable characters as
// themselves, Return as CR, Backspace as 8, Ctrl plus a letter as its control
// code. Nothing for keys that type no character (arrows, Delete, function
// keys, Escape, Tab, Alt combinations) or for characters outside Latin-1,
// which have no single-byte form.
std::optional<char> typedByte(const QKeyEvent& event);

} // namespace kestrel
