#pragma once
// Port names for serial lines served over the network:
//   rfc2217://HOST:PORT   Telnet with COM port control (ser2net's
//                         telnet(rfc2217) accepter, device servers)
//   tcp://HOST:PORT       the bytes as they are (ser2net's raw accepter,
//                         emulators)
// HOST is a host name, an IPv4 address or an IPv6 address in brackets
// ("rfc2217://[::1]:7002").
#include <QString>

#include <optional>

namespace kestrel {

struct NetworkAddress {
    enum class Protocol { Rfc2217, RawTcp };

    Protocol protocol = Protocol::RawTcp;
    QString host; // without brackets
    quint16 port = 0;

    // nullopt for a name that is not a network port name or is malformed.
    static std::optional<NetworkAddress> parse(const QString& name);
    // Whether the name asks for a network port at all (so a malformed one
    // gets an error instead of being taken for a device path).
    static bool looksLikeNetworkName(const QString& name);

    friend bool operator==(const NetworkAddress&, const NetworkAddress&) = default;
};

} // namespace kestrel
