#include "certificate_store.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QHostAddress>

#include <memory>

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;
void freeBio(BIO* bio) {
    BIO_free(bio);
}
using Bio = std::unique_ptr<BIO, Deleter<BIO, freeBio>>;

QByteArray bioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, static_cast<qsizetype>(size));
}

bool addExtension(X509* cert, int nid, const QByteArray& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    const Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.constData()));
    return extension && X509_add_ext(cert, extension.get(), -1) == 1;
}

bool setTime(ASN1_TIME* field, const QDateTime& when) {
    return ASN1_TIME_set(field, static_cast<time_t>(when.toSecsSinceEpoch())) != nullptr;
}

// Written beside the target and renamed over it, so a reader never sees half a
// file; created with the given mode from the start.
bool writeFile(const QString& path, const QByteArray& data, mode_t mode, QString& error) {
    const QByteArray temporary = QFile::encodeName(path + ".new");
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        error = QString("cannot write %1").arg(path);
        return false;
    }
    bool ok = ::fchmod(fd, mode) == 0;
    for (qsizetype done = 0; ok && done < data.size();) {
        const ssize_t n = ::write(fd, data.constData() + done, static_cast<size_t>(data.size() - done));
        ok = n > 0;
        done += n;
    }
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0) {
        ::unlink(temporary.constData());
        error = QString("cannot write %1").arg(path);
        return false;
    }
    return true;
}

bool namesAll(const QSslCertificate& cert, const QStringList& dnsNames, const QStringList& ipAddresses) {
    const auto names = cert.subjectAlternativeNames();
    const QList<QString> dns = names.values(QSsl::DnsEntry);
    const QList<QString> ips = names.values(QSsl::IpAddressEntry);
    for (const QString& name : dnsNames) {
        if (!dns.contains(name, Qt::CaseInsensitive)) return false;
    }
    for (const QString& address : ipAddresses) {
        const QHostAddress wanted(address);
        if (std::none_of(ips.begin(), ips.end(),
                         [&](const QString& ip) { return QHostAddress(ip) == wanted; })) {
            return false;
        }
    }
    return true;
}

bool keyMatches(const QByteArray& certPem, const QByteArray& keyPem) {
    const Bio certBio(BIO_new_mem_buf(certPem.constData(), static_cast<int>(certPem.size())));
    const Bio keyBio(BIO_new_mem_buf(keyPem.constData(), static_cast<int>(keyPem.size())));
    if (!certBio || !keyBio) return false;
    const Cert cert(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
    const Key key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    return cert && key && X509_check_private_key(cert.get(), key.get()) == 1;
}

}  // namespace

std::optional<CertificateStore::Identity> CertificateStore::make(const QStringList& dnsNames,
                                                                 const QStringList& ipAddresses,
                                                                 const QDateTime& notBefore, int validDays,
                                                                 QString& error) {
    error = "cannot make a certificate";
    const Key key(EVP_EC_gen("P-256"));
    const Cert cert(X509_new());
    if (!key || !cert) return std::nullopt;

    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1) return std::nullopt;
    serial[0] &= 0x7F;  // a positive number
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    const bool serialSet = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get()));
    BN_free(number);

    QStringList alternatives;
    for (const QString& name : dnsNames)
        alternatives << "DNS:" + name;
    for (const QString& address : ipAddresses)
        alternatives << "IP:" + address;

    X509_NAME* subject = X509_get_subject_name(cert.get());
    const QByteArray commonName = dnsNames.value(0, "Tarnwell").toUtf8().left(64);
    bool ok = serialSet && X509_set_version(cert.get(), 2) == 1 &&
              X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>("Tarnwell"), -1, -1, 0) &&
              X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>(commonName.constData()), -1,
                                         -1, 0) &&
              X509_set_issuer_name(cert.get(), subject) == 1 &&
              setTime(X509_getm_notBefore(cert.get()), notBefore) &&
              setTime(X509_getm_notAfter(cert.get()), notBefore.addDays(validDays)) &&
              X509_set_pubkey(cert.get(), key.get()) == 1 &&
              addExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") &&
              addExtension(cert.get(), NID_key_usage, "critical,digitalSignature") &&
              addExtension(cert.get(), NID_ext_key_usage, "serverAuth") &&
              addExtension(cert.get(), NID_subject_key_identifier, "hash") &&
              (alternatives.isEmpty() ||
               addExtension(cert.get(), NID_subject_alt_name, alternatives.join(',').toUtf8())) &&
              X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
    if (!ok) return std::nullopt;

    const Bio certText(BIO_new(BIO_s_mem()));
    const Bio keyText(BIO_new(BIO_s_mem()));
    if (!certText || !keyText || PEM_write_bio_X509(certText.get(), cert.get()) != 1 ||
        PEM_write_bio_PrivateKey(keyText.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return std::nullopt;
    }
    Identity identity{QSslCertificate(bioText(certText.get()), QSsl::Pem),
                      QSslKey(bioText(keyText.get()), QSsl::Ec, QSsl::Pem), true};
    if (identity.certificate.isNull() || identity.key.isNull()) return std::nullopt;
    error.clear();
    return identity;
}

bool CertificateStore::store(const Identity& identity, QString& error) const {
    if (!QDir().mkpath(folder_)) {
        error = QString("cannot create %1").arg(folder_);
        return false;
    }
    return writeFile(keyPath(), identity.key.toPem(), 0600, error) &&
           writeFile(certificatePath(), identity.certificate.toPem(), 0644, error);
}

std::optional<CertificateStore::Identity> CertificateStore::load() const {
    QFile certFile(certificatePath());
    QFile keyFile(keyPath());
    if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) return std::nullopt;
    const QByteArray certPem = certFile.readAll();
    const QByteArray keyPem = keyFile.readAll();
    if (!keyMatches(certPem, keyPem)) return std::nullopt;
    Identity identity{QSslCertificate(certPem, QSsl::Pem), QSslKey(keyPem, QSsl::Ec), false};
    if (identity.certificate.isNull() || identity.key.isNull()) return std::nullopt;
    return identity;
}

std::optional<CertificateStore::Identity> CertificateStore::obtain(const QStringList& dnsNames,
                                                                   const QStringList& ipAddresses,
                                                                   const QDateTime& now,
                                                                   QString& error) const {
    if (std::optional<Identity> stored = load()) {
        const QSslCertificate& cert = stored->certificate;
        if (cert.effectiveDate() <= now && cert.expiryDate() > now.addDays(1) &&
            namesAll(cert, dnsNames, ipAddresses)) {
            // A key left readable by others from an older run is closed again.
            ::chmod(QFile::encodeName(keyPath()).constData(), 0600);
            return stored;
        }
    }
    std::optional<Identity> fresh = make(dnsNames, ipAddresses, now.addSecs(-3600), kValidDays, error);
    if (!fresh || !store(*fresh, error)) return std::nullopt;
    return fresh;
}
