#pragma once

#include <QDateTime>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>

#include <optional>

// The gateway's self-signed TLS identity, kept in one folder (cert.pem and
// key.pem, the key readable by its owner only). A browser accepts it once per
// address; so it is reused while it is valid and names every address the page
// may be opened at, and made anew otherwise.
class CertificateStore {
public:
    struct Identity {
        QSslCertificate certificate;
        QSslKey key;
        bool made = false;  // false when an existing one was reused
    };
    // About two years.
    static constexpr int kValidDays = 730;

    explicit CertificateStore(QString folder) : folder_(std::move(folder)) {}

    // The stored identity when it is valid at now (and for one more day) and its
    // names include every one of dnsNames and ipAddresses; otherwise a new one
    // for them, stored before it is returned. nullopt (error says why) when it
    // can be neither read nor made and stored.
    std::optional<Identity> obtain(const QStringList& dnsNames, const QStringList& ipAddresses,
                                   const QDateTime& now, QString& error) const;

    // A new EC P-256 identity (X.509 v3, serverAuth, the names as subject
    // alternative names) valid from notBefore for validDays.
    static std::optional<Identity> make(const QStringList& dnsNames, const QStringList& ipAddresses,
                                        const QDateTime& notBefore, int validDays, QString& error);
    bool store(const Identity& identity, QString& error) const;

    QString certificatePath() const { return folder_ + "/cert.pem"; }
    QString keyPath() const { return folder_ + "/key.pem"; }

private:
    std::optional<Identity> load() const;

    QString folder_;
};
