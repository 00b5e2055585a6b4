// The Telnet codec and the COM port settings mapping, as tables: bytes in,
// data and answers out, with chunk borders in the awkward places.
#include "TelnetCodec.h"
#include "NetworkAddress.h"

#include "../serial/QtPrinters.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrel {
namespace {

using namespace telnet;

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values)
        out.append(static_cast<char>(v));
    return out;
}

struct DecodeCase {
    const char* name;
    std::vector<QByteArray> chunks; // as the reads returned them
    QByteArray data;
    QByteArray reply;
    TelnetCodec::ComPort comPort = TelnetCodec::ComPort::Asked;
};

class TelnetDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(TelnetDecode, SplitsDataFromCommands) {
    const DecodeCase& c = GetParam();
    TelnetCodec codec;
    codec.start();
    QByteArray data, reply;
    for (const QByteArray& chunk : c.chunks)
        codec.decode(chunk, data, reply);
    EXPECT_EQ(data, c.data);
    EXPECT_EQ(reply, c.reply);
    EXPECT_EQ(codec.comPort(), c.comPort);
}

const QByteArray ff(1, '\xff');

INSTANTIATE_TEST_SUITE_P(
    Table, TelnetDecode,
    ::testing::Values(
        DecodeCase{
            "PlainDataWithZeroBytes", {QByteArray("a\0b\r\0c", 6)}, QByteArray("a\0b\r\0c", 6), {}},
        DecodeCase{
            "DoubledIacIsOneByte", {bytes({'a', Iac, Iac, 'b'})}, bytes({'a', 0xff, 'b'}), {}},
        DecodeCase{"DoubledIacAcrossChunkBorder",
                   {bytes({'a', Iac}), bytes({Iac, 'b'})},
                   bytes({'a', 0xff, 'b'}),
                   {}},
        DecodeCase{"RunOfDoubledIacSplitEverywhere",
                   {bytes({Iac}), bytes({Iac, Iac}), bytes({Iac, Iac}), bytes({Iac})},
                   bytes({0xff, 0xff, 0xff}),
                   {}},
        DecodeCase{"NopAndGoAheadInMidStream",
                   {bytes({'a', Iac, Nop, 'b', Iac}), bytes({249, 'c'})},
                   "abc",
                   {}},
        DecodeCase{"UnknownRequestInMidStreamIsRefused",
                   {bytes({'a', Iac, Do, 24, 'b', Iac, Will}), bytes({31, 'c'})},
                   "abc",
                   bytes({Iac, Wont, 24, Iac, Dont, 31})},
        DecodeCase{"AnswersToOurRequestsAreNotAnswered",
                   {bytes({Iac, Do, Binary, Iac, Will, Binary, Iac, Do, SuppressGoAhead, Iac, Will,
                           SuppressGoAhead, Iac, Do, ComPortOption, 'x'})},
                   "x",
                   {},
                   TelnetCodec::ComPort::Accepted},
        DecodeCase{
            "ServerEchoIsLetThrough", {bytes({Iac, Will, Echo})}, {}, bytes({Iac, Do, Echo})},
        DecodeCase{"RefusedComPortLeavesTheStreamUsable",
                   {bytes({Iac, Dont, ComPortOption, 'o', Iac, Iac, 'k'})},
                   bytes({'o', 0xff, 'k'}),
                   {},
                   TelnetCodec::ComPort::Refused},
        DecodeCase{"ServerTakingBackAnOptionIsConfirmed",
                   {bytes({Iac, Will, Binary, Iac, Wont, Binary})},
                   {},
                   bytes({Iac, Dont, Binary})},
        DecodeCase{"CrNulOutsideBinaryModeLosesThePadding",
                   {bytes({Iac, Wont, Binary, 'a', '\r'}), bytes({0, 'b', '\r', '\n'})},
                   "a\rb\r\n",
                   {}},
        DecodeCase{"SubnegotiationSplitOverReads",
                   {bytes({'x', Iac, Sb, ComPortOption, 101, 0, 1}), bytes({0xc2, 0, Iac}),
                    bytes({Se, 'y'})},
                   "xy",
                   {}},
        DecodeCase{"SubnegotiationWithDoubledIacInside",
                   {bytes({Iac, Sb, ComPortOption, 101, 0, 0, Iac, Iac, 0, Iac, Se, 'z'})},
                   "z",
                   {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TelnetCodec, ServerAcknowledgementsCarryTheSpeedInForce) {
    struct {
        std::vector<QByteArray> chunks;
        std::optional<quint32> speed;
    } cases[] = {
        {{bytes({Iac, Sb, ComPortOption, 101, 0, 1}), bytes({0xc2, 0, Iac, Se})}, 115200},
        {{bytes({Iac, Sb, ComPortOption, 101, 0, 0, Iac, Iac, 0, Iac, Se})}, 0xff00},
        // A notification of line state is not a speed.
        {{bytes({Iac, Sb, ComPortOption, 106, 0x60, Iac, Se})}, std::nullopt},
    };
    for (const auto& c : cases) {
        TelnetCodec codec;
        QByteArray data, reply;
        for (const QByteArray& chunk : c.chunks)
            codec.decode(chunk, data, reply);
        EXPECT_EQ(codec.remoteBaudRate(), c.speed);
        EXPECT_TRUE(data.isEmpty());
    }
}

TEST(TelnetCodec, StartAsksForBinarySuppressGoAheadAndComPortControl) {
    TelnetCodec codec;
    EXPECT_EQ(codec.start(), bytes({Iac, Will, Binary, Iac, Will, SuppressGoAhead, Iac, Will,
                                    ComPortOption, Iac, Do, Binary, Iac, Do, SuppressGoAhead}));
}

// Whatever goes out comes back the same through the decoder, however the
// wire cuts it: a frame of nothing but 0xFF included.
TEST(TelnetCodec, EscapedDataRoundTripsAcrossEveryChunkSize) {
    QByteArray frame(2048, '\xff');
    QByteArray mixed;
    for (int i = 0; i < 1024; ++i)
        mixed.append(static_cast<char>(i % 3 == 0 ? 0xff : i & 0xff));
    for (const QByteArray& original : {frame, mixed, QByteArray("\0\xff\0", 3)}) {
        const QByteArray wire = TelnetCodec::escape(original);
        EXPECT_EQ(wire.size(), original.size() + original.count('\xff'));
        for (const int chunk : {1, 2, 3, 7, 4096}) {
            TelnetCodec codec;
            codec.start();
            QByteArray data, reply;
            codec.decode(bytes({Iac, Do, Binary, Iac, Will, Binary}), data, reply);
            for (qsizetype at = 0; at < wire.size(); at += chunk)
                codec.decode(wire.mid(at, chunk), data, reply);
            EXPECT_EQ(data, original) << "chunk " << chunk;
            EXPECT_TRUE(reply.isEmpty());
        }
    }
}

TEST(ComPortSettings, MapsTheSettingsTextAndFlowControl) {
    struct {
        const char* text;
        FlowControl flow;
        ComPortValues expected;
    } cases[] = {
        {"115200,n,8,1", FlowControl::None, {115200, 8, 1, 1, 1}},
        {"9600,o,7,2", FlowControl::XonXoff, {9600, 7, 2, 2, 2}},
        {"19200,E,8,1", FlowControl::RtsCts, {19200, 8, 3, 1, 3}},
        {"300,m,5,1.5", FlowControl::RtsCtsXonXoff, {300, 5, 4, 3, 3}},
        {"57600,s,6,1", FlowControl::None, {57600, 6, 5, 1, 1}},
    };
    for (const auto& c : cases) {
        const auto line = LineSettings::parse(QString::fromLatin1(c.text));
        ASSERT_TRUE(line) << c.text;
        EXPECT_EQ(ComPortValues::from(*line, c.flow), c.expected) << c.text;
    }
}

TEST(ComPortSettings, CommandsOnTheWire) {
    EXPECT_EQ(TelnetCodec::settingsCommands({115200, 8, 1, 1, 3}),
              bytes({Iac, Sb, 44, 1, 0x00, 0x01, 0xc2, 0x00, Iac, Se, //
                     Iac, Sb, 44, 2, 8,    Iac,  Se,                  //
                     Iac, Sb, 44, 3, 1,    Iac,  Se,                  //
                     Iac, Sb, 44, 4, 1,    Iac,  Se,                  //
                     Iac, Sb, 44, 5, 3,    Iac,  Se}));
    // A value byte of 0xFF is doubled inside the subnegotiation too.
    EXPECT_EQ(TelnetCodec::comPortCommand(SetBaudRate, bytes({0, 0, 0xff, 0xff})),
              bytes({Iac, Sb, 44, 1, 0, 0, Iac, Iac, Iac, Iac, Iac, Se}));
}

TEST(NetworkAddress, ParsesPortNames) {
    using P = NetworkAddress::Protocol;
    struct {
        const char* name;
        std::optional<NetworkAddress> expected;
    } cases[] = {
        {"rfc2217://pi.local:7002", NetworkAddress{P::Rfc2217, "pi.local", 7002}},
        {"tcp://127.0.0.1:4000", NetworkAddress{P::RawTcp, "127.0.0.1", 4000}},
        {"RFC2217://[::1]:7002", NetworkAddress{P::Rfc2217, "::1", 7002}},
        {"tcp://[fe80::1%eth0]:23/", NetworkAddress{P::RawTcp, "fe80::1%eth0", 23}},
        {"tcp://::1:7002", std::nullopt},
        {"tcp://[::1]7002", std::nullopt},
        {"tcp://[pi.local]:7002", std::nullopt},
        {"tcp://host", std::nullopt},
        {"tcp://:7002", std::nullopt},
        {"tcp://host:0", std::nullopt},
        {"tcp://host:65536", std::nullopt},
        {"tcp://host:+80", std::nullopt},
        {"tcp://host:http", std::nullopt},
        {"/dev/ttyUSB0", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NetworkAddress::parse(QString::fromLatin1(c.name)), c.expected) << c.name;
    EXPECT_TRUE(NetworkAddress::looksLikeNetworkName("tcp://host"));
    EXPECT_FALSE(NetworkAddress::looksLikeNetworkName("/dev/pts/3"));
}

} // namespace
} // namespace kestrel
