// The received-text filter and the terminal bound must hold for any input:
// no crash, no line feed without its carriage return, no empty line made
// within one chunk, and the bound keeping the text within one chunk of it.
#include "TerminalFilter.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray chunk(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QByteArray out = kestrel::filterReceivedText(chunk);
    if (out.contains('\b') || out.contains("\r\n\r\n")) std::abort();
    for (qsizetype i = 0; i < out.size(); ++i) {
        if (out[i] == '\n' && (i == 0 || out[i - 1] != '\r')) std::abort();
        if (out[i] == '\r' && (i + 1 >= out.size() || out[i + 1] != '\n')) std::abort();
    }
    if (out != kestrel::filterReceivedText(out)) std::abort(); // already filtered text is stable
    // Feed the chunk in halves into a view near the bound.
    QByteArray view(kestrel::TerminalBound - 1 + qsizetype(size % 3), 'v');
    view = kestrel::appendToTerminalText(view, chunk.left(chunk.size() / 2));
    view = kestrel::appendToTerminalText(view, chunk.mid(chunk.size() / 2));
    if (view.size() > kestrel::TerminalBound + chunk.size()) std::abort();
    return 0;
}
