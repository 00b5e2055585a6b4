#include "NumberText.h"

#include <gtest/gtest.h>

namespace {

struct HexCase {
    const char* in;
    quint32 out;
};

TEST(ParseHex32, BehavesLikeStrtoul) {
    const HexCase cases[] = {
        {"80010000", 0x80010000u},
        {"0x80010000", 0x80010000u},
        {"0X1f", 0x1fu},
        {"  \t80100000", 0x80100000u},
        {"face.bin", 0xfaceu},
        {"zzz", 0u},
        {"", 0u},
        {"0x", 0u},
        {"0xg", 0u},
        {"123456789", 0xFFFFFFFFu},
        {"FFFFFFFF", 0xFFFFFFFFu},
        {"-1", 0xFFFFFFFFu},
        {"+10", 0x10u},
        {"800 junk", 0x800u},
        {"00000000000000000001", 1u},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kestrel::parseHex32(c.in), c.out) << c.in;
}

TEST(ParseDecimal32, BehavesLikeAtoiSaturated) {
    const std::pair<const char*, qint32> cases[] = {
        {"2", 2},
        {"  5", 5},
        {"abc", 0},
        {"-3", -3},
        {"+7x", 7},
        {"99999999999", 2147483647},
        {"-99999999999", -2147483647 - 1},
        {"", 0},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(kestrel::parseDecimal32(in), out) << in;
}

} // namespace
