#include "certificate_store.h"

#include <QHostAddress>

#include <algorithm>

#include "private_file.h"
#include "self_signed.h"

namespace {

// Valid for one more day at least, so no session meets the end of its certificate.
bool holds(const QSslCertificate& cert, const QDateTime& now) {
    return cert.effectiveDate() <= now && cert.expiryDate() > now.addDays(1);
}

bool names(const QSslCertificate& cert, const QHostAddress& address) {
    const QList<QString> ips = cert.subjectAlternativeNames().values(QSsl::IpAddressEntry);
    return std::any_of(ips.begin(), ips.end(),
                       [&](const QString& ip) { return QHostAddress(ip) == address; });
}

}  // namespace

CertificateStore::CertificateStore(QString folder, QStringList dnsNames)
    : folder_(std::move(folder)), dnsNames_(std::move(dnsNames)) {}

std::optional<CertificateStore::Identity> CertificateStore::obtain(const QString& address,
                                                                   const QDateTime& now, QString& error) {
    // Printed again from its parsed form, so a file name is dotted decimal and never a path.
    const QHostAddress parsed(address);
    if (parsed.protocol() != QAbstractSocket::IPv4Protocol) {
        error = QString("not an IPv4 address: %1").arg(address);
        return std::nullopt;
    }
    const QString canonical = parsed.toString();
    const auto cached = cache_.constFind(canonical);
    if (cached != cache_.cend() && holds(cached->certificate, now)) return *cached;

    if (keyPem_.isEmpty() && !loadOrMakeKey(error)) return std::nullopt;
    std::optional<Identity> identity = load(canonical, now);
    if (!identity) identity = make(canonical, now, error);
    if (!identity) return std::nullopt;
    Identity kept = *identity;
    kept.made = false;
    cache_.insert(canonical, kept);
    return identity;
}

bool CertificateStore::loadOrMakeKey(QString& error) {
    if (!PrivateFile::makeFolder(folder_, error) || !PrivateFile::makeFolder(folder_ + "/certs", error)) {
        return false;
    }
    std::optional<QByteArray> pem = PrivateFile::read(keyPath());
    QSslKey key = pem ? QSslKey(*pem, QSsl::Ec) : QSslKey();
    if (key.isNull()) {
        pem = SelfSigned::makeKey();
        if (!pem) {
            error = "cannot make a key";
            return false;
        }
        if (!PrivateFile::write(keyPath(), *pem, error)) return false;
        key = QSslKey(*pem, QSsl::Ec);
    }
    keyPem_ = *pem;
    key_ = key;
    return true;
}

std::optional<CertificateStore::Identity> CertificateStore::load(const QString& address,
                                                                 const QDateTime& now) const {
    const std::optional<QByteArray> pem = PrivateFile::read(certificatePath(address));
    if (!pem || !SelfSigned::belongsTo(*pem, keyPem_)) return std::nullopt;
    const QSslCertificate certificate(*pem, QSsl::Pem);
    if (certificate.isNull() || !holds(certificate, now) || !names(certificate, QHostAddress(address))) {
        return std::nullopt;
    }
    return Identity{certificate, key_, false};
}

std::optional<CertificateStore::Identity> CertificateStore::make(const QString& address, const QDateTime& now,
                                                                 QString& error) const {
    // Back-dated an hour, for a phone whose clock is a little behind.
    const std::optional<QByteArray> pem =
        SelfSigned::makeCertificate(keyPem_, dnsNames_, address, now.addSecs(-3600), kValidDays);
    if (!pem) {
        error = QString("cannot make a certificate for %1").arg(address);
        return std::nullopt;
    }
    if (!PrivateFile::write(certificatePath(address), *pem, error)) return std::nullopt;
    return Identity{QSslCertificate(*pem, QSsl::Pem), key_, true};
}
