// The line settings text: any text either parses into values the port can
// take, or is refused whole; a parsed text parses again to the same values.
#include "LineSettings.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const auto parsed = kestrel::LineSettings::parse(text);
    if (!parsed) return 0;
    if (parsed->speed <= 0) std::abort();
    if (parsed->dataBits < 5 || parsed->dataBits > 8) std::abort();
    // The canonical text of what was parsed parses back to the same values.
    const QString canonical = QStringLiteral("%1,%2,%3,%4")
                                  .arg(parsed->speed)
                                  .arg(kestrel::LineSettings::parityLetter(parsed->parity, false))
                                  .arg(parsed->dataBits)
                                  .arg(kestrel::LineSettings::stopBitsText(parsed->stopBits));
    const auto again = kestrel::LineSettings::parse(canonical);
    if (!again || !(*again == *parsed)) std::abort();
    return 0;
}
