#include "AppIdentity.h"

#include <QCoreApplication>

namespace kestrel {

QString shortVersion() {
    return QStringLiteral(KESTREL_VERSION_SHORT);
}

QString fullVersion() {
    return QStringLiteral(KESTREL_VERSION);
}

void nameApplication() {
    QCoreApplication::setOrganizationName(QStringLiteral("Tamsworth"));
    QCoreApplication::setApplicationName(QStringLiteral("Kestrel"));
    QCoreApplication::setApplicationVersion(shortVersion());
}

} // namespace kestrel
