#include "gateway_event.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

std::optional<GatewayEvent::Stats> statsOf(const QJsonObject& object) {
    const auto counts = [](const QJsonObject& from) {
        return GatewayEvent::Stats::Counts{from.value(QStringLiteral("chunks")).toDouble(),
                                           from.value(QStringLiteral("concealed")).toDouble(),
                                           from.value(QStringLiteral("dropped")).toDouble()};
    };
    for (const char* key : {"chunks", "concealed", "dropped"})
        if (!object.value(QLatin1String(key)).isDouble()) return std::nullopt;
    GatewayEvent::Stats stats;
    stats.total = counts(object);
    stats.perSecond = counts(object.value(QStringLiteral("perSecond")).toObject());
    stats.jitterMs = object.value(QStringLiteral("jitterMs")).toDouble();
    stats.depthMs = object.value(QStringLiteral("depthMs")).toDouble();
    if (object.value(QStringLiteral("roundTripMs")).isDouble())
        stats.roundTripMs = object.value(QStringLiteral("roundTripMs")).toDouble();
    return stats;
}

}  // namespace

std::optional<GatewayEvent> GatewayEvent::parse(const QString& line) {
    const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8());
    if (!document.isObject()) return std::nullopt;
    const QJsonObject object = document.object();
    const QString event = object.value(QStringLiteral("event")).toString();
    GatewayEvent result;
    if (event == QStringLiteral("ready")) {
        if (!object.value(QStringLiteral("url")).isString()) return std::nullopt;
        result.kind = Kind::Ready;
        result.url = object.value(QStringLiteral("url")).toString();
    } else if (event == QStringLiteral("stream-started")) {
        result.kind = Kind::StreamStarted;
        result.phone = object.value(QStringLiteral("phone")).toString();
    } else if (event == QStringLiteral("stream-stopped")) {
        result.kind = Kind::StreamStopped;
        result.detail = object.value(QStringLiteral("detail")).toString();
    } else if (event == QStringLiteral("pairing-paused")) {
        QDateTime until =
            QDateTime::fromString(object.value(QStringLiteral("until")).toString(), Qt::ISODate);
        if (!until.isValid()) return std::nullopt;
        if (until.timeSpec() == Qt::LocalTime) until.setTimeSpec(Qt::UTC);
        result.kind = Kind::PairingPaused;
        result.until = until.toUTC();
    } else if (event == QStringLiteral("pairing-resumed")) {
        result.kind = Kind::PairingResumed;
    } else if (event == QStringLiteral("phones")) {
        if (!object.value(QStringLiteral("list")).isArray()) return std::nullopt;
        result.kind = Kind::Phones;
        for (const QJsonValue& value : object.value(QStringLiteral("list")).toArray()) {
            const QJsonObject entry = value.toObject();
            const QString id = entry.value(QStringLiteral("id")).toString();
            if (id.isEmpty()) continue;
            result.phones.push_back(
                {id, entry.value(QStringLiteral("name")).toString(),
                 QDateTime::fromString(entry.value(QStringLiteral("lastSeen")).toString(), Qt::ISODate)
                     .toUTC()});
        }
    } else if (event == QStringLiteral("stats")) {
        const std::optional<Stats> stats = statsOf(object);
        if (!stats) return std::nullopt;
        result.kind = Kind::Stats;
        result.stats = *stats;
    } else {
        return std::nullopt;
    }
    return result;
}
