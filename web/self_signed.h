#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

// Self-signed server certificates and their keys, as PEM text.
namespace SelfSigned {

// A new EC P-256 private key; nullopt when OpenSSL cannot make one.
std::optional<QByteArray> makeKey();

// An X.509 v3 certificate for TLS servers (serverAuth) signed by keyPem, whose
// subject alternative names are dnsNames and ipAddress, valid from notBefore
// for validDays. nullopt when the key cannot be read or the names are invalid.
std::optional<QByteArray> makeCertificate(const QByteArray& keyPem, const QStringList& dnsNames,
                                          const QString& ipAddress, const QDateTime& notBefore,
                                          int validDays);

// Whether certificatePem holds a certificate whose public key is keyPem's.
bool belongsTo(const QByteArray& certificatePem, const QByteArray& keyPem);

}  // namespace SelfSigned
