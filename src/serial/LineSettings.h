#pragma once
// The line settings text, "speed,parity,data bits,stop bits" (e.g.
// "9600,n,8,1"), as the serial component takes it.
//
// Accepted: speed a positive decimal integer that fits a signed 32-bit value
// (digits only, no sign or blanks); parity one of n o e m s (none, odd, even,
// mark, space) in either case; data bits 5 to 8; stop bits 1, 1.5 or 2.
// Exactly four comma-separated fields, no blanks anywhere. Anything else is
// refused whole.
//
// The parity letter keeps the case it was given in: the port status and the
// settings file show the text as the user wrote it ("57600,N,8,2"). The case
// is no part of the line, so two settings that differ only in it are equal.
#include <QString>
#include <QStringView>

#include <optional>

namespace kestrel {

struct LineSettings {
    enum class Parity { None, Odd, Even, Mark, Space };
    enum class StopBits { One, OneAndHalf, Two };

    qint32 speed = 9600;
    Parity parity = Parity::None;
    int dataBits = 8;
    StopBits stopBits = StopBits::One;
    bool upperCaseParity = false;

    static std::optional<LineSettings> parse(QStringView text);
    // "9600,n,8,1": the text parse() reads back to these settings, with the
    // speed in plain decimal.
    QString text() const;

    // The parity letter in the case given ('n' or 'N', ...).
    static QChar parityLetter(Parity parity, bool upperCase);
    // "1", "1.5" or "2".
    static QString stopBitsText(StopBits stopBits);

    friend bool operator==(const LineSettings& a, const LineSettings& b) {
        return a.speed == b.speed && a.parity == b.parity && a.dataBits == b.dataBits &&
               a.stopBits == b.stopBits;
    }
};

} // namespace kestrel
