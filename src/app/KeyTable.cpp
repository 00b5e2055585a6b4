#include "KeyTable.h"

#include "ControlIds.h"

#include <QKeyEvent>

#include <iterator>

namespace kestrel {

namespace {

const KeyBinding keyTable[] = {
    {Qt::CTRL | Qt::ALT | Qt::Key_D, CommandHelp},
    {Qt::CTRL | Qt::Key_F, CommandFont},
    {QKeyCombination(Qt::Key_F12), CommandPortSettings},
    {QKeyCombination(Qt::Key_F3), CommandAuto},
    {Qt::SHIFT | Qt::Key_F3, CommandAutoAgain},
    {QKeyCombination(Qt::Key_F4), CommandDownloadData},
    {QKeyCombination(Qt::Key_F5), CommandDownloadExecutable},
    {Qt::SHIFT | Qt::Key_Insert, CommandPaste},
};

constexpr Qt::KeyboardModifiers BindingModifiers =
    Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;

} // namespace

const KeyBinding* keyTableBegin() {
    return std::begin(keyTable);
}
const KeyBinding* keyTableEnd() {
    return std::end(keyTable);
}

std::optional<int> boundCommand(const QKeyEvent& event) {
    const QKeyCombination pressed(event.modifiers() & BindingModifiers,
                                  static_cast<Qt::Key>(event.key()));
    for (const KeyBinding& binding : keyTable)
        if (binding.keys == pressed) return binding.command;
    return std::nullopt;
}

std::optional<char> typedByte(const QKeyEvent& event) {
    const Qt::KeyboardModifiers mods = event.modifiers();
    const int key = event.key();
    if (mods & (Qt::AltModifier | Qt::MetaModifier)) return std::nullopt;
    if (mods & Qt::ControlModifier) {
        if (key >= Qt::Key_A && key <= Qt::Key_Z) return static_cast<char>(key - Qt::Key_A + 1);
        if (key >= Qt::Key_BracketLeft && key <= Qt::Key_BracketRight)
            return static_cast<char>(key - Qt::Key_BracketLeft + 27); // ESC, FS, GS
        return std::nullopt;
    }
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return '\r';
    case Qt::Key_Backspace:
        return '\b';
    case Qt::Key_Escape:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Delete:
        return std::nullopt;
    default:
        break;
    }
    const QString text = event.text();
    if (text.size() != 1) return std::nullopt;
    const char16_t code = text.front().unicode();
    if (code < 0x20 || code == 0x7f || code > 0xff) return std::nullopt;
    return static_cast<char>(code);
}

} // namespace kestrel
