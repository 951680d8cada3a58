#pragma once

#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

// One line of what the browser's gateway (sonvale-web) tells the application on
// its standard output: a compact JSON object with its "event" and that event's
// fields. parse() takes a line and gives:
// - "ready" with a string "url": Ready, url;
// - "stream-started": StreamStarted, phone (the browser's phone name, or empty);
// - "stream-stopped": StreamStopped, detail (empty when missing or not a string);
// - "pairing-paused" with an ISO 8601 "until": PairingPaused, until in UTC (a
//   time without an offset is read as UTC);
// - "pairing-resumed": PairingResumed;
// - "phones" with an array "list": Phones, phones (entries without an id are skipped);
// - "stats" with numbers "chunks", "concealed" and "dropped": Stats, stats (a
//   missing number elsewhere reads as 0; roundTripMs only when one is given);
// - nullopt for anything else: not a JSON object, an unknown or missing event, a
//   missing or malformed field that the event needs. Fields beyond those are
//   ignored, so the gateway may tell more without breaking an older application.
struct GatewayEvent {
    enum class Kind { Ready, StreamStarted, StreamStopped, PairingPaused, PairingResumed, Phones, Stats };
    // A phone the gateway remembers (its browser paired once).
    struct Phone {
        QString id;
        QString name;
        QDateTime lastSeen;  // UTC
    };
    // How a browser's stream goes at the gateway: totals since it began, and the last second's.
    struct Stats {
        struct Counts {
            double chunks = 0, concealed = 0, dropped = 0;
            bool operator==(const Counts&) const = default;
        };
        Counts total;
        Counts perSecond;
        double jitterMs = 0;
        double depthMs = 0;
        std::optional<double> roundTripMs;
        bool operator==(const Stats&) const = default;
    };

    Kind kind = Kind::Ready;
    QString url;
    QString detail;
    QDateTime until;
    QString phone;
    std::vector<Phone> phones;
    Stats stats;

    static std::optional<GatewayEvent> parse(const QString& line);
};
