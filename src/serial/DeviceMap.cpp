#include "DeviceMap.h"

#include <QRegularExpression>

namespace kestrel {

bool isValidCommPort(int number) {
    return number >= FirstCommPort && number <= LastCommPort;
}

QString deviceForCommPort(int number) {
    if (!isValidCommPort(number)) return {};
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(number);
#else
    constexpr int OnBoardPorts = 4;
    if (number <= OnBoardPorts) return QStringLiteral("/dev/ttyS%1").arg(number - 1);
    return QStringLiteral("/dev/ttyUSB%1").arg(number - OnBoardPorts - 1);
#endif
}

std::optional<int> commPortInName(const QString& name) {
    static const QRegularExpression form(QStringLiteral("^COM(\\d{1,9})$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const auto match = form.match(name);
    if (!match.hasMatch()) return std::nullopt;
    return match.captured(1).toInt();
}

} // namespace kestrel
