#include "pairing.h"

#include "pairing_url.h"

QString makePairingURL(const QString& host, uint16_t port, const QString& name, const QString& pin) {
    return QString::fromStdString(
        makePairingURL(host.toStdString(), port, name.toStdString(), pin.toStdString()));
}

QString makeBrowserURL(const QString& host, const QString& pin) {
    return QString::fromStdString(makeBrowserURL(host.toStdString(), pin.toStdString()));
}
