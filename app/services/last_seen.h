#pragma once

#include <QDateTime>
#include <QString>

// When a remembered phone was last seen, as the window lists it, both times
// taken in local time: "today 14:02" for the day of now (and for a time ahead
// of now, a clock set wrong somewhere), "yesterday", else the date ("3 Mar 2025",
// English month names whatever the locale, like the rest of the window).
// Empty for an invalid lastSeen.
QString lastSeenText(const QDateTime& lastSeen, const QDateTime& now);
