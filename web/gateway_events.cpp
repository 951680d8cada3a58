#include "gateway_events.h"

#include <QJsonDocument>
#include <QJsonObject>

void GatewayEvents::ready(const QString& url) {
    write({{"event", "ready"}, {"url", url}});
}

void GatewayEvents::streamingChanged(bool streaming, const QString& detail) {
    if (streaming)
        write({{"event", "stream-started"}});
    else
        write({{"event", "stream-stopped"}, {"detail", detail}});
}

void GatewayEvents::pairingPaused(const QDateTime& until) {
    write({{"event", "pairing-paused"}, {"until", until.toUTC().toString(Qt::ISODate)}});
}

void GatewayEvents::pairingResumed() {
    write({{"event", "pairing-resumed"}});
}

void GatewayEvents::write(const QJsonObject& event) {
    const QByteArray line = QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), out_);
    std::fflush(out_);
}
