#include "FileFilter.h"

#include <QRegularExpression>

namespace kestrel {

QStringList nameFiltersFromPatternList(const QString& filter) {
    QStringList parts = filter.split(QLatin1Char('|'));
    while (!parts.isEmpty() && parts.last().trimmed().isEmpty())
        parts.removeLast();

    static const QRegularExpression shownPatterns(QStringLiteral("\\s*\\([^()]*\\)\\s*$"));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i];
        description.remove(shownPatterns);
        QStringList patterns;
        for (const QString& pattern : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const QString trimmed = pattern.trimmed();
            if (!trimmed.isEmpty())
                patterns << (trimmed == QLatin1String("*.*") ? QStringLiteral("*") : trimmed);
        }
        if (patterns.isEmpty()) continue;
        filters << QStringLiteral("%1 (%2)").arg(description.trimmed(), patterns.join(' '));
    }
    return filters;
}

} // namespace kestrel
