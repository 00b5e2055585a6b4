#pragma once
// Line settings written the way a user types them, for tests.
#include "LineSettings.h"

#include <gtest/gtest.h>

#include <QString>

#include <ostream>

namespace kestrel {

inline void PrintTo(const LineSettings& line, std::ostream* os) {
    *os << line.text().toStdString();
}

} // namespace kestrel

namespace kestrel::test {

// The settings "115200,n,8,1" stands for; a text that does not parse fails
// the test and gives the defaults.
inline LineSettings line(const char* text) {
    const auto parsed = LineSettings::parse(QString::fromLatin1(text));
    if (!parsed) ADD_FAILURE() << "not a line settings text: " << text;
    return parsed.value_or(LineSettings{});
}

} // namespace kestrel::test
