#include "gateway_events.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

void GatewayEvents::ready(const QString& url) {
    write({{"event", "ready"}, {"url", url}});
}

void GatewayEvents::streamStarted(const QString& phone, const QString& transport, const QString& codec) {
    write({{"event", "stream-started"}, {"phone", phone}, {"transport", transport}, {"codec", codec}});
}

void GatewayEvents::streamStopped(const QString& detail) {
    write({{"event", "stream-stopped"}, {"detail", detail}});
}

void GatewayEvents::phones(const std::vector<PairedPhones::Phone>& phones) {
    QJsonArray list;
    for (const PairedPhones::Phone& phone : phones) {
        list.append(QJsonObject{{"id", phone.id},
                                {"name", phone.name},
                                {"lastSeen", phone.lastSeen.toUTC().toString(Qt::ISODate)}});
    }
    const QByteArray image = QJsonDocument(list).toJson(QJsonDocument::Compact);
    if (image == lastPhones_) return;
    lastPhones_ = image;
    write({{"event", "phones"}, {"list", list}});
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

void GatewayEvents::stats(const QJsonObject& fields) {
    QJsonObject event{{"event", "stats"}};
    for (auto it = fields.begin(); it != fields.end(); ++it)
        event.insert(it.key(), it.value());
    write(event);
}
