#include "KeyTable.h"

#include "ControlIds.h"

#include <QKeyEvent>
#include <QKeySequence>

#include <algorithm>
#include <iterator>

namespace kestrel {

namespace {

const KeyBinding keyTable[] = {
    {QKeyCombination(Qt::Key_F3), CommandAuto, "Run an auto file"},
    {Qt::SHIFT | Qt::Key_F3, CommandAutoAgain, "Run the last auto file again"},
    {QKeyCombination(Qt::Key_F4), CommandDownloadData, "Download a data file to an address"},
    {QKeyCombination(Qt::Key_F5), CommandDownloadExecutable,
     "Download an executable (PS-X EXE or A-OUT)"},
    {QKeyCombination(Qt::Key_F12), CommandPortSettings, "Port settings"},
    {Qt::CTRL | Qt::Key_F, CommandFont, "Terminal font"},
    {Qt::SHIFT | Qt::Key_Insert, CommandPaste, "Paste the clipboard's text to the console"},
    {Qt::CTRL | Qt::ALT | Qt::Key_D, CommandHelp},
    // The Stop button's mnemonic ("&Stop") presses it; the window answers
    // the key itself only while it sleeps, when shortcuts are held back.
    {Qt::ALT | Qt::Key_S, StopButtonId, "Stop the running transfer"},
    // Alt+F4 first: the Exit item shows it.
    {Qt::ALT | Qt::Key_F4, CommandExit},
    {QKeyCombination(Qt::Key_Escape), CommandExit, "Quit"},
    {Qt::CTRL | Qt::Key_Pause, CommandExit},
    {QKeyCombination(Qt::Key_Cancel), CommandExit, nullptr, true},
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

const KeyBinding* findBinding(const QKeyEvent& event) {
    const Qt::KeyboardModifiers modifiers = event.modifiers() & BindingModifiers;
    for (const KeyBinding& binding : keyTable)
        if (binding.keys.key() == event.key() &&
            (binding.anyModifiers || binding.keys.keyboardModifiers() == modifiers))
            return &binding;
    return nullptr;
}

QString keyText(QKeyCombination keys) {
    QString text = QKeySequence(keys).toString(QKeySequence::PortableText);
    // The window's texts spell Insert out, where Qt shortens it.
    if (keys.key() == Qt::Key_Insert) {
        text.chop(QStringLiteral("Ins").size());
        text += QStringLiteral("Insert");
    }
    return text;
}

QString shortcutText(int command) {
    const auto binding =
        std::find_if(std::begin(keyTable), std::end(keyTable),
                     [command](const KeyBinding& b) { return b.command == command; });
    return binding == std::end(keyTable) ? QString() : keyText(binding->keys);
}

QString keyHelpLines() {
    QString lines;
    for (const KeyBinding& binding : keyTable)
        if (binding.help)
            lines += keyText(binding.keys) + u'\t' + QString::fromUtf8(binding.help) + u'\n';
    return lines;
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
