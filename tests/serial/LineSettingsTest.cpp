#include "LineSettings.h"
#include "DeviceMap.h"
#include "FlowControl.h"
#include "LineText.h"
#include "QtPrinters.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

using P = LineSettings::Parity;
using S = LineSettings::StopBits;

struct Accepted {
    const char* text;
    LineSettings expected;
};

TEST(LineSettings, AcceptsEveryFieldValue) {
    const Accepted cases[] = {
        {"9600,n,8,1", {9600, P::None, 8, S::One}},
        {"19200,E,7,2", {19200, P::Even, 7, S::Two}},
        {"300,o,5,1.5", {300, P::Odd, 5, S::OneAndHalf}},
        {"115200,M,6,1", {115200, P::Mark, 6, S::One}},
        {"1,s,8,2", {1, P::Space, 8, S::Two}},
        {"2147483647,N,8,1", {2147483647, P::None, 8, S::One}},
        {"0009600,n,8,1", {9600, P::None, 8, S::One}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto parsed = LineSettings::parse(QString::fromLatin1(c.text));
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(*parsed, c.expected);
    }
}

TEST(LineSettings, RefusesWholeTextWhenAnyFieldIsWrong) {
    const char* refused[] = {
        "",
        "9600",
        "9600,n,8",
        "9600,n,8,1,",
        "9600,n,8,1,x",
        "0,n,8,1",
        "-9600,n,8,1",
        "+9600,n,8,1",
        " 9600,n,8,1",
        "9600 ,n,8,1",
        "9600,n ,8,1",
        "96x0,n,8,1",
        "2147483648,n,8,1",
        "99999999999,n,8,1",
        ",n,8,1",
        "9600,,8,1",
        "9600,x,8,1",
        "9600,no,8,1",
        "9600,n,4,1",
        "9600,n,9,1",
        "9600,n,88,1",
        "9600,n,8,0",
        "9600,n,8,3",
        "9600,n,8,1.0",
        "9600,n,8,1.50",
        "9600;n;8;1",
    };
    for (const char* text : refused) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(LineSettings::parse(QString::fromLatin1(text)).has_value());
    }
}

// The text is what the port status and the settings file show: it must read
// back to the same settings and look as the user wrote it.
TEST(LineSettings, TextReadsBackAsWritten) {
    const char* texts[] = {
        "9600,n,8,1",   "115200,N,8,1", "19200,E,7,2",      "300,o,5,1.5",
        "4800,O,6,1.5", "1,m,8,2",      "2147483647,S,8,1", "57600,e,7,1",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        const auto parsed = LineSettings::parse(QString::fromLatin1(text));
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(parsed->text(), QString::fromLatin1(text));
        EXPECT_EQ(LineSettings::parse(parsed->text()), parsed);
    }
    EXPECT_EQ(LineSettings{}.text(), QStringLiteral("9600,n,8,1"));
    // Leading zeros are no part of the speed.
    EXPECT_EQ(LineSettings::parse(u"0009600,n,8,1")->text(), QStringLiteral("9600,n,8,1"));
}

TEST(LineSettings, ParityCaseShowsInTheTextOnly) {
    const auto lower = LineSettings::parse(u"9600,e,7,1");
    const auto upper = LineSettings::parse(u"9600,E,7,1");
    ASSERT_TRUE(lower && upper);
    EXPECT_EQ(*lower, *upper);
    EXPECT_NE(lower->text(), upper->text());
}

TEST(FlowControl, NumbersStandForTheFourChoicesOnly) {
    const std::pair<int, std::optional<FlowControl>> cases[] = {
        {-1, std::nullopt},       {0, FlowControl::None},          {1, FlowControl::XonXoff},
        {2, FlowControl::RtsCts}, {3, FlowControl::RtsCtsXonXoff}, {4, std::nullopt},
    };
    for (const auto& [number, flow] : cases) {
        SCOPED_TRACE(number);
        EXPECT_EQ(flowControlFromNumber(number), flow);
        if (flow) EXPECT_EQ(flowControlNumber(*flow), number);
    }
}

TEST(LineSettings, WritesParityLetterAndStopBitsBack) {
    EXPECT_EQ(LineSettings::parityLetter(P::Even, true), QChar(u'E'));
    EXPECT_EQ(LineSettings::parityLetter(P::Space, false), QChar(u's'));
    EXPECT_EQ(LineSettings::stopBitsText(S::OneAndHalf), QStringLiteral("1.5"));
}

TEST(DeviceMap, MapsPortNumbersToDevices) {
    const std::pair<int, const char*> cases[] = {
        {1, "/dev/ttyS0"},
        {4, "/dev/ttyS3"},
        {5, "/dev/ttyUSB0"},
        {8, "/dev/ttyUSB3"},
        {9, "/dev/ttyUSB4"},
        {255, "/dev/ttyUSB250"},
        {0, ""},
        {-1, ""},
        {256, ""},
    };
    for (const auto& [number, device] : cases) {
        SCOPED_TRACE(number);
        EXPECT_EQ(deviceForCommPort(number), QString::fromLatin1(device));
        EXPECT_EQ(isValidCommPort(number), *device != '\0');
    }
}

} // namespace
} // namespace kestrel
