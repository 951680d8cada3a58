#pragma once

#include <QDateTime>
#include <QString>

#include <cstdio>
#include <vector>

#include "paired_phones.h"

class QJsonObject;

// What the gateway tells the application that runs it: one compact JSON object
// a line on out (standard output), flushed at once, each with its "event":
//   {"event":"ready","url":"https://ADDRESS:47812/#pin=PIN"}   listening
//   {"event":"stream-started","phone":"iPhone · Safari","transport":"websocket"|"post","codec":"opus"|"pcm"}
//   {"event":"stream-stopped","detail":"how the playout went"}
//   {"event":"pairing-paused","until":"2030-01-01T12:34:56Z"}  ISO 8601, UTC
//   {"event":"pairing-resumed"}
//   {"event":"stats","chunks":N,"concealed":N,"dropped":N,"jitterMs":X,"roundTripMs":X,"depthMs":N,
//    "perSecond":{"chunks":X,"concealed":X,"dropped":X}}
//       once a second while a page streams (gateway_stats.h); roundTripMs
//       absent until the page reports one
//   {"event":"phones","list":[{"id":...,"name":...,"lastSeen":ISO 8601 UTC}]}
//       the paired phones: once at start, then whenever the list changes
// Nothing else is written to out; human log lines go to standard error.
// Main thread only.
class GatewayEvents {
public:
    explicit GatewayEvents(std::FILE* out = stdout) : out_(out) {}

    void ready(const QString& url);
    void streamStarted(const QString& phone, const QString& transport, const QString& codec);
    void streamStopped(const QString& detail);
    // Written only when it differs from the last list written.
    void phones(const std::vector<PairedPhones::Phone>& phones);
    void pairingPaused(const QDateTime& until);
    void pairingResumed();
    void stats(const QJsonObject& fields);

private:
    void write(const QJsonObject& event);

    std::FILE* out_;
    QByteArray lastPhones_;
};
