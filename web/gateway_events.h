#pragma once

#include <QDateTime>
#include <QString>

#include <cstdio>

class QJsonObject;

// What the gateway tells the application that runs it: one compact JSON object
// a line on out (standard output), flushed at once, each with its "event":
//   {"event":"ready","url":"https://ADDRESS:47812/#pin=PIN"}   listening
//   {"event":"stream-started"}
//   {"event":"stream-stopped","detail":"how the playout went"}
//   {"event":"pairing-paused","until":"2030-01-01T12:34:56Z"}  ISO 8601, UTC
//   {"event":"pairing-resumed"}
// Nothing else is written to out; human log lines go to standard error.
// Main thread only.
class GatewayEvents {
public:
    explicit GatewayEvents(std::FILE* out = stdout) : out_(out) {}

    void ready(const QString& url);
    void streamingChanged(bool streaming, const QString& detail);
    void pairingPaused(const QDateTime& until);
    void pairingResumed();

private:
    void write(const QJsonObject& event);

    std::FILE* out_;
};
