#include "Paste.h"

#include "MonitorLink.h"
#include "Strings.h"

namespace kestrel {

QByteArray pastedBytes(const QString& text) {
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') continue;
        if (c == u'\n' || c == u'\r') {
            bytes += '\r';
        } else if (c <= 0xff) {
            bytes += static_cast<char>(c);
        }
    }
    return bytes;
}

QByteArray pasteText(MonitorLink& link, const QString& text) {
    if (link.isBusy()) {
        link.host().messageBox(strings::text(strings::UploadInProgress));
        return {};
    }
    // Held like a transfer: every byte pumps the window's messages, and no
    // command or typed key may put its bytes between two pasted ones. Stop
    // ends it before the next byte.
    const TransferHold hold(link, TransferHold::Kind::Busy);
    link.clearAbort();
    const QByteArray bytes = pastedBytes(text);
    qsizetype sent = 0;
    for (; sent < bytes.size() && !link.isAborting(); ++sent)
        link.sendByte(static_cast<unsigned char>(bytes[sent]));
    return bytes.left(sent);
}

} // namespace kestrel
