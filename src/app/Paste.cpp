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
    const QByteArray bytes = pastedBytes(text);
    for (const char byte : bytes)
        link.sendByte(static_cast<unsigned char>(byte));
    return bytes;
}

} // namespace kestrel
