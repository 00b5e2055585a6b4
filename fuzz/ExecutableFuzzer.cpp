// Classification and header decoding of executables, with the section
// selection, on any bytes: no crash, no read past what was given, and the
// decoded section table never claims more records than the bytes hold.
#include "ExecutableFormat.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const auto format = kestrel::classifyExecutableBytes(bytes.first(std::min<qsizetype>(8, size)));

    if (auto ps = kestrel::decodePsExeHeader(bytes)) {
        if (size < size_t(kestrel::PsExeHeaderSize)) std::abort();
        if (ps->startSp() == 0) std::abort(); // a zero stack falls back to the default
    }

    kestrel::AOutHeaders headers;
    const auto error = kestrel::decodeAOutHeaders(bytes, headers);
    if (!error) {
        const int count = headers.sections.count();
        if (size < size_t(76 + count * kestrel::AOutSectionHeaderSize)) std::abort();
        if (headers.file.optionalHeaderSize != kestrel::AOutOptionalHeaderSize) std::abort();
        if (!(headers.file.flags & kestrel::AOutExecutableFlag)) std::abort();
        for (int i = 0; i < count; ++i) {
            const auto section = headers.sections.at(i);
            if (section.name.size() > 8 || section.name.contains('\0')) std::abort();
            (void)kestrel::isSectionSelected(section);
        }
    } else if (kestrel::headerErrorText(*error).isEmpty()) {
        std::abort();
    }
    (void)format;
    return 0;
}
