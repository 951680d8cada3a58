#pragma once

#include <QDateTime>
#include <QHash>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>

#include <optional>

// The gateway's self-signed TLS identities, kept in one folder: one EC P-256
// key (key.pem) and a certificate per local IPv4 address (certs/ADDRESS.pem)
// naming that address and the DNS names given. A phone's browser accepts a
// certificate once, so each is kept across restarts and address changes.
//
// - A certificate is made again only when it expires within a day, cannot be
//   read, does not name its address or does not belong to the key. A missing or
//   unreadable key is replaced by a new one, and so is every certificate.
// - Files are mode 0600, written whole or not at all, a link at their name
//   replaced and never followed; folders are made 0700.
// - Files are read on the first use of an address only; later calls are served
//   from memory until the certificate comes within a day of its expiry.
// - Used from one thread.
class CertificateStore {
public:
    struct Identity {
        QSslCertificate certificate;
        QSslKey key;
        bool made = false;  // true on the call that made (and kept) it
    };
    // About two years.
    static constexpr int kValidDays = 730;

    CertificateStore(QString folder, QStringList dnsNames);

    // The kept certificate for this local IPv4 address; made (and kept) on first use.
    // nullopt (error says why) when address is not an IPv4 address or nothing
    // can be made and kept.
    std::optional<Identity> obtain(const QString& address, const QDateTime& now, QString& error);

    QString keyPath() const { return folder_ + "/key.pem"; }
    QString certificatePath(const QString& address) const { return folder_ + "/certs/" + address + ".pem"; }

private:
    bool loadOrMakeKey(QString& error);
    std::optional<Identity> load(const QString& address, const QDateTime& now) const;
    std::optional<Identity> make(const QString& address, const QDateTime& now, QString& error) const;

    QString folder_;
    QStringList dnsNames_;
    QByteArray keyPem_;  // empty until the first obtain
    QSslKey key_;
    QHash<QString, Identity> cache_;  // by address, made == false
};
