#include "LineSettings.h"

#include <QList>

#include <limits>

namespace kestrel {

namespace {

std::optional<qint32> parseSpeed(QStringView field) {
    if (field.isEmpty()) return std::nullopt;
    qint64 value = 0;
    for (QChar c : field) {
        if (c < u'0' || c > u'9') return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
        if (value > std::numeric_limits<qint32>::max()) return std::nullopt;
    }
    if (value == 0) return std::nullopt;
    return static_cast<qint32>(value);
}

std::optional<LineSettings::Parity> parseParity(QStringView field) {
    if (field.size() != 1) return std::nullopt;
    switch (field.front().toLower().unicode()) {
    case u'n':
        return LineSettings::Parity::None;
    case u'o':
        return LineSettings::Parity::Odd;
    case u'e':
        return LineSettings::Parity::Even;
    case u'm':
        return LineSettings::Parity::Mark;
    case u's':
        return LineSettings::Parity::Space;
    default:
        return std::nullopt;
    }
}

std::optional<int> parseDataBits(QStringView field) {
    if (field.size() != 1 || field.front() < u'5' || field.front() > u'8') return std::nullopt;
    return field.front().unicode() - u'0';
}

std::optional<LineSettings::StopBits> parseStopBits(QStringView field) {
    if (field == u"1") return LineSettings::StopBits::One;
    if (field == u"1.5") return LineSettings::StopBits::OneAndHalf;
    if (field == u"2") return LineSettings::StopBits::Two;
    return std::nullopt;
}

} // namespace

std::optional<LineSettings> LineSettings::parse(QStringView text) {
    const auto fields = text.split(u',');
    if (fields.size() != 4) return std::nullopt;
    const auto speed = parseSpeed(fields[0]);
    const auto parity = parseParity(fields[1]);
    const auto dataBits = parseDataBits(fields[2]);
    const auto stopBits = parseStopBits(fields[3]);
    if (!speed || !parity || !dataBits || !stopBits) return std::nullopt;
    return LineSettings{*speed, *parity, *dataBits, *stopBits, fields[1].front().isUpper()};
}

QString LineSettings::text() const {
    return QStringLiteral("%1,%2,%3,%4")
        .arg(speed)
        .arg(parityLetter(parity, upperCaseParity))
        .arg(dataBits)
        .arg(stopBitsText(stopBits));
}

QChar LineSettings::parityLetter(Parity parity, bool upperCase) {
    static constexpr char16_t letters[] = u"noems";
    const QChar letter(letters[static_cast<int>(parity)]);
    return upperCase ? letter.toUpper() : letter;
}

QString LineSettings::stopBitsText(StopBits stopBits) {
    switch (stopBits) {
    case StopBits::One:
        return QStringLiteral("1");
    case StopBits::OneAndHalf:
        return QStringLiteral("1.5");
    case StopBits::Two:
        return QStringLiteral("2");
    }
    return {};
}

} // namespace kestrel
