#pragma once
// The Telnet side of a network serial port: option negotiation (BINARY and
// SUPPRESS-GO-AHEAD both ways, COM-PORT-OPTION from the client), 0xFF
// doubling, and the COM port control commands that set the remote line.
//
// The codec keeps no socket: decode() takes whatever a read returned, in
// chunks cut anywhere (in the middle of a command or a subnegotiation), and
// hands back the data bytes and the answers owed to the server. Commands
// never show up in the data.
#include "FlowControl.h"
#include "LineSettings.h"

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <optional>

namespace kestrel {

namespace telnet {
inline constexpr quint8 Se = 240, Nop = 241, Sb = 250, Will = 251, Wont = 252, Do = 253, Dont = 254,
                        Iac = 255;
inline constexpr quint8 Binary = 0, Echo = 1, SuppressGoAhead = 3, ComPortOption = 44;

// Client-to-server COM port commands; the server answers each with the same
// number plus 100 and the value it put in force.
inline constexpr quint8 SetBaudRate = 1, SetDataSize = 2, SetParity = 3, SetStopSize = 4,
                        SetControl = 5, ServerOffset = 100;
} // namespace telnet

// The values the COM port commands carry for a line setting.
struct ComPortValues {
    quint32 baudRate = 9600;
    quint8 dataSize = 8;
    quint8 parity = 1;   // 1 none, 2 odd, 3 even, 4 mark, 5 space
    quint8 stopSize = 1; // 1 one, 2 two, 3 one and a half
    quint8 control = 1;  // 1 none, 2 XON/XOFF, 3 RTS/CTS

    static ComPortValues from(const LineSettings& line, FlowControl flow);
    friend bool operator==(const ComPortValues&, const ComPortValues&) = default;
};

class TelnetCodec {
public:
    enum class ComPort { Asked, Accepted, Refused };

    // The client's opening requests; sent once, right after connecting.
    QByteArray start();

    // Appends the data bytes in `received` to `data` and the answers the
    // server is owed to `reply`.
    void decode(QByteArrayView received, QByteArray& data, QByteArray& reply);

    // Data as it goes on the wire: every 0xFF doubled.
    static QByteArray escape(QByteArrayView data);
    // One COM port command (IAC SB COM-PORT-OPTION command value IAC SE).
    static QByteArray comPortCommand(quint8 command, QByteArrayView value);
    // The five commands that put a whole line setting in force.
    static QByteArray settingsCommands(const ComPortValues& values);

    ComPort comPort() const { return comPort_; }
    // Whether the server sends binary data (no CR NUL stuffing).
    bool serverBinary() const { return him_[telnet::Binary].enabled; }
    bool clientBinary() const { return us_[telnet::Binary].enabled; }
    // The speed the server last said it put in force, if it said so.
    std::optional<quint32> remoteBaudRate() const { return remoteBaudRate_; }

private:
    struct OptionState {
        bool enabled = false;
        bool asked = false; // our request is out; its answer needs none
    };
    enum class State { Data, Command, Option, Sub, SubCommand };

    void onOption(quint8 verb, quint8 option, QByteArray& reply);
    void onSubnegotiation();

    State state_ = State::Data;
    quint8 verb_ = 0;
    QByteArray sub_;
    std::array<OptionState, 256> us_{};  // options on our side (WILL / WONT)
    std::array<OptionState, 256> him_{}; // options on the server's side (DO / DONT)
    ComPort comPort_ = ComPort::Asked;
    std::optional<quint32> remoteBaudRate_;
    bool lastWasCr_ = false;
};

} // namespace kestrel
