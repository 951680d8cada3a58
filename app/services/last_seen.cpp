#include "last_seen.h"

#include <QLocale>

QString lastSeenText(const QDateTime& lastSeen, const QDateTime& now) {
    if (!lastSeen.isValid()) return {};
    const QDateTime seen = lastSeen.toLocalTime();
    const QDate today = now.toLocalTime().date();
    if (seen.date() >= today) return QStringLiteral("today ") + seen.toString(QStringLiteral("HH:mm"));
    if (seen.date() == today.addDays(-1)) return QStringLiteral("yesterday");
    return QLocale::c().toString(seen.date(), QStringLiteral("d MMM yyyy"));
}
