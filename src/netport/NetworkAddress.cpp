#include "NetworkAddress.h"

#include <QHostAddress>

namespace kestrel {

namespace {
const QString Rfc2217Scheme = QStringLiteral("rfc2217://");
const QString TcpScheme = QStringLiteral("tcp://");
} // namespace

bool NetworkAddress::looksLikeNetworkName(const QString& name) {
    return name.startsWith(Rfc2217Scheme, Qt::CaseInsensitive) ||
           name.startsWith(TcpScheme, Qt::CaseInsensitive);
}

std::optional<NetworkAddress> NetworkAddress::parse(const QString& name) {
    NetworkAddress a;
    QString rest;
    if (name.startsWith(Rfc2217Scheme, Qt::CaseInsensitive)) {
        a.protocol = Protocol::Rfc2217;
        rest = name.mid(Rfc2217Scheme.size());
    } else if (name.startsWith(TcpScheme, Qt::CaseInsensitive)) {
        a.protocol = Protocol::RawTcp;
        rest = name.mid(TcpScheme.size());
    } else {
        return std::nullopt;
    }
    if (rest.endsWith(u'/')) rest.chop(1);

    qsizetype colon = -1;
    if (rest.startsWith(u'[')) {
        const qsizetype close = rest.indexOf(u']');
        if (close < 0 || close + 1 >= rest.size() || rest[close + 1] != u':') return std::nullopt;
        a.host = rest.mid(1, close - 1);
        if (QHostAddress(a.host).protocol() != QAbstractSocket::IPv6Protocol) return std::nullopt;
        colon = close + 1;
    } else {
        colon = rest.lastIndexOf(u':');
        if (colon <= 0) return std::nullopt;
        a.host = rest.left(colon);
        // An IPv6 address must be bracketed, or its last group reads as the port.
        if (a.host.contains(u':')) return std::nullopt;
    }
    if (a.host.isEmpty() || a.host.contains(u'/') || a.host.contains(u' ')) return std::nullopt;

    const QString portText = rest.mid(colon + 1);
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (!ok || port == 0 || port > 65535 || portText.startsWith(u'+')) return std::nullopt;
    a.port = static_cast<quint16>(port);
    return a;
}

} // namespace kestrel
