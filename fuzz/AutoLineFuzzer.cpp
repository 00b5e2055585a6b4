// Auto-file line normalisation and cutting on any bytes: the result has no
// tabs, no two spaces together that the input did not force, no upper-case
// ASCII, no blanks at either end, and normalising again changes nothing but a
// freshly exposed " 0x".
#include "AutoFile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray line(reinterpret_cast<const char*>(data), qsizetype(size));
    const QByteArray out = kestrel::normaliseAutoLine(line);
    if (out.contains('\t')) std::abort();
    for (char c : out)
        if (c >= 'A' && c <= 'Z') std::abort();
    if (!out.isEmpty() && (QByteArrayView(" \t\r\n\v\f").contains(out.front()) ||
                           QByteArrayView(" \t\r\n\v\f").contains(out.back())))
        std::abort();

    // The cut rule: the word and remainder are pieces of the text.
    const auto first = kestrel::cut(out);
    if (!QByteArrayView(out).startsWith(first.word)) std::abort();
    if (out.contains(' ')) {
        if (first.word.size() + 1 + first.remainder.size() != out.size()) std::abort();
    } else if (first.word != QByteArrayView(out) || first.remainder != QByteArrayView(out)) {
        std::abort();
    }
    return 0;
}
