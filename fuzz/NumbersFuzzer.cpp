// The lenient number conversions against the C library they imitate.
#include "NumberText.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string cstr(text.c_str()); // the C functions stop at a zero byte
    const QByteArray bytes(cstr.data(), static_cast<qsizetype>(cstr.size()));

    errno = 0;
    const unsigned long expected = std::strtoul(cstr.c_str(), nullptr, 16);
    const bool negative = cstr.find_first_not_of(" \t\n\v\f\r") != std::string::npos &&
                          cstr[cstr.find_first_not_of(" \t\n\v\f\r")] == '-';
    quint32 want;
    if (errno == ERANGE)
        want = 0xFFFFFFFFu;
    else if (!negative && expected > 0xFFFFFFFFul)
        want = 0xFFFFFFFFu;
    else if (negative && (0ul - expected) > 0xFFFFFFFFul)
        want = 0xFFFFFFFFu; // the magnitude itself was beyond 32 bits
    else
        want = static_cast<quint32>(expected);
    if (kestrel::parseHex32(bytes) != want) std::abort();

    errno = 0;
    const long dec = std::strtol(cstr.c_str(), nullptr, 10);
    const qint32 wantDec = dec > INT32_MAX ? INT32_MAX : dec < INT32_MIN ? INT32_MIN : qint32(dec);
    if (kestrel::parseDecimal32(bytes) != wantDec) std::abort();
    return 0;
}
