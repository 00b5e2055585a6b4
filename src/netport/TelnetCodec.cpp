#include "TelnetCodec.h"

namespace kestrel {

using namespace telnet;

namespace {

void command(QByteArray& out, quint8 verb, quint8 option) {
    out.append(static_cast<char>(Iac));
    out.append(static_cast<char>(verb));
    out.append(static_cast<char>(option));
}

// What we take on our side of the connection.
bool weWill(quint8 option) {
    return option == Binary || option == SuppressGoAhead || option == ComPortOption;
}

// What we let the server do. Its echo is the remote device's own business
// (the client never echoes locally), so it is let through.
bool heMay(quint8 option) {
    return option == Binary || option == SuppressGoAhead || option == Echo;
}

} // namespace

ComPortValues ComPortValues::from(const LineSettings& line, FlowControl flow) {
    ComPortValues v;
    v.baudRate = static_cast<quint32>(line.speed);
    v.dataSize = static_cast<quint8>(line.dataBits);
    switch (line.parity) {
    case LineSettings::Parity::None:
        v.parity = 1;
        break;
    case LineSettings::Parity::Odd:
        v.parity = 2;
        break;
    case LineSettings::Parity::Even:
        v.parity = 3;
        break;
    case LineSettings::Parity::Mark:
        v.parity = 4;
        break;
    case LineSettings::Parity::Space:
        v.parity = 5;
        break;
    }
    switch (line.stopBits) {
    case LineSettings::StopBits::One:
        v.stopSize = 1;
        break;
    case LineSettings::StopBits::Two:
        v.stopSize = 2;
        break;
    case LineSettings::StopBits::OneAndHalf:
        v.stopSize = 3;
        break;
    }
    // RTS/CTS with XON/XOFF has no single value; hardware flow control is
    // the part a serial bridge can keep without seeing the data.
    switch (flow) {
    case FlowControl::XonXoff:
        v.control = 2;
        break;
    case FlowControl::RtsCts:
    case FlowControl::RtsCtsXonXoff:
        v.control = 3;
        break;
    case FlowControl::None:
        v.control = 1;
        break;
    }
    return v;
}

QByteArray TelnetCodec::start() {
    QByteArray out;
    for (const quint8 option : {Binary, SuppressGoAhead, ComPortOption}) {
        command(out, Will, option);
        us_[option].asked = true;
    }
    for (const quint8 option : {Binary, SuppressGoAhead}) {
        command(out, Do, option);
        him_[option].asked = true;
    }
    return out;
}

QByteArray TelnetCodec::escape(QByteArrayView data) {
    QByteArray out;
    out.reserve(data.size() + data.size() / 64 + 1);
    for (const char c : data) {
        out.append(c);
        if (static_cast<quint8>(c) == Iac) out.append(c);
    }
    return out;
}

QByteArray TelnetCodec::comPortCommand(quint8 code, QByteArrayView value) {
    QByteArray out;
    out.append(static_cast<char>(Iac));
    out.append(static_cast<char>(Sb));
    out.append(static_cast<char>(ComPortOption));
    out.append(static_cast<char>(code));
    out.append(escape(value));
    out.append(static_cast<char>(Iac));
    out.append(static_cast<char>(Se));
    return out;
}

QByteArray TelnetCodec::settingsCommands(const ComPortValues& v) {
    const char baud[4] = {static_cast<char>(v.baudRate >> 24), static_cast<char>(v.baudRate >> 16),
                          static_cast<char>(v.baudRate >> 8), static_cast<char>(v.baudRate)};
    auto one = [](quint8 b) { return QByteArray(1, static_cast<char>(b)); };
    return comPortCommand(SetBaudRate, QByteArrayView(baud, 4)) +
           comPortCommand(SetDataSize, one(v.dataSize)) + comPortCommand(SetParity, one(v.parity)) +
           comPortCommand(SetStopSize, one(v.stopSize)) +
           comPortCommand(SetControl, one(v.control));
}

void TelnetCodec::decode(QByteArrayView received, QByteArray& data, QByteArray& reply) {
    for (const char c : received) {
        const auto b = static_cast<quint8>(c);
        switch (state_) {
        case State::Data:
            if (b == Iac) {
                state_ = State::Command;
                break;
            }
            // A server that refused binary mode sends CR as CR NUL; the NUL
            // is padding, not data. Until it answers, every byte is data.
            if (b == 0 && lastWasCr_ && !serverBinary() && !him_[Binary].asked) {
                lastWasCr_ = false;
                break;
            }
            lastWasCr_ = b == '\r';
            data.append(c);
            break;
        case State::Command:
            if (b == Iac) {
                data.append(c);
                lastWasCr_ = false;
                state_ = State::Data;
            } else if (b >= Will && b <= Dont) {
                verb_ = b;
                state_ = State::Option;
            } else if (b == Sb) {
                sub_.clear();
                state_ = State::Sub;
            } else {
                state_ = State::Data; // NOP, GA, AYT, ...: nothing for the line
            }
            break;
        case State::Option:
            onOption(verb_, b, reply);
            state_ = State::Data;
            break;
        case State::Sub:
            if (b == Iac)
                state_ = State::SubCommand;
            else
                sub_.append(c);
            break;
        case State::SubCommand:
            if (b == Iac) {
                sub_.append(c);
                state_ = State::Sub;
            } else {
                // IAC SE ends it; any other command there is a broken
                // subnegotiation, ended all the same.
                onSubnegotiation();
                state_ = State::Data;
            }
            break;
        }
    }
}

void TelnetCodec::onOption(quint8 verb, quint8 option, QByteArray& reply) {
    OptionState& mine = (verb == Do || verb == Dont) ? us_[option] : him_[option];
    const bool enable = verb == Do || verb == Will;
    const bool wanted = (verb == Do || verb == Dont) ? weWill(option) : heMay(option);
    const bool wasAsked = mine.asked;
    mine.asked = false;
    const quint8 yes = (verb == Do || verb == Dont) ? Will : Do;
    const quint8 no = (verb == Do || verb == Dont) ? Wont : Dont;

    if (enable) {
        if (mine.enabled) return;
        if (wanted) {
            mine.enabled = true;
            if (!wasAsked) command(reply, yes, option);
        } else {
            command(reply, no, option);
        }
    } else {
        // A refusal of something on: confirm it; of something off: it is the
        // answer to our request, or noise.
        if (mine.enabled) {
            mine.enabled = false;
            if (!wasAsked) command(reply, no, option);
        }
    }
    if (option == ComPortOption && (verb == Do || verb == Dont))
        comPort_ = us_[ComPortOption].enabled ? ComPort::Accepted : ComPort::Refused;
}

void TelnetCodec::onSubnegotiation() {
    if (sub_.size() < 2 || static_cast<quint8>(sub_[0]) != ComPortOption) return;
    const auto code = static_cast<quint8>(sub_[1]);
    if (code == ServerOffset + SetBaudRate && sub_.size() >= 6) {
        const auto* p = reinterpret_cast<const quint8*>(sub_.constData() + 2);
        remoteBaudRate_ = quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3];
    }
}

} // namespace kestrel
