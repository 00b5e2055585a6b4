#pragma once
// The line settings text, "speed,parity,data bits,stop bits" (e.g.
// "9600,n,8,1"), as the serial component takes it.
//
// Accepted: speed a positive decimal integer that fits a signed 32-bit value
// (digits only, no sign or blanks); parity one of n o e m s (none, odd, even,
// mark, space) in either case; data bits 5 to 8; stop bits 1, 1.5 or 2.
// Exactly four comma-separated fields, no blanks anywhere. Anything else is
// refused whole.
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

    static std::optional<LineSettings> parse(QStringView text);

    // The parity letter in the case given ('n' or 'N', ...).
    static QChar parityLetter(Parity parity, bool upperCase);
    // "1", "1.5" or "2".
    static QString stopBitsText(StopBits stopBits);

    friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

} // namespace kestrel
