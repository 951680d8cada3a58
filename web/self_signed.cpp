#include "self_signed.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace SelfSigned {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;
using Number = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
void freeBio(BIO* bio) {
    BIO_free(bio);
}
using Bio = std::unique_ptr<BIO, Deleter<BIO, freeBio>>;

Bio readable(const QByteArray& pem) {
    return Bio(BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size())));
}

Key readKey(const QByteArray& pem) {
    const Bio bio = readable(pem);
    return Key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

Cert readCertificate(const QByteArray& pem) {
    const Bio bio = readable(pem);
    return Cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

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

// 128 random bits, positive, so two certificates from one key never share a
// serial number (a browser refuses a second certificate with a known one).
bool setRandomSerial(X509* cert) {
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1) return false;
    serial[0] &= 0x7F;
    const Number number(BN_bin2bn(serial, sizeof serial, nullptr));
    return number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert)) != nullptr;
}

bool addName(X509_NAME* name, const char* field, const QByteArray& value) {
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char*>(value.constData()), -1, -1,
                                      0) == 1;
}

}  // namespace

std::optional<QByteArray> makeKey() {
    const Key key(EVP_EC_gen("P-256"));
    const Bio text(BIO_new(BIO_s_mem()));
    if (!key || !text ||
        PEM_write_bio_PrivateKey(text.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return std::nullopt;
    }
    return bioText(text.get());
}

std::optional<QByteArray> makeCertificate(const QByteArray& keyPem, const QStringList& dnsNames,
                                          const QString& ipAddress, const QDateTime& notBefore,
                                          int validDays) {
    const Key key = readKey(keyPem);
    const Cert cert(X509_new());
    if (!key || !cert) return std::nullopt;

    QStringList alternatives{"IP:" + ipAddress};
    for (const QString& name : dnsNames)
        alternatives << "DNS:" + name;
    // The subject names the address too, so the kept certificates tell apart at a glance.
    X509_NAME* subject = X509_get_subject_name(cert.get());
    const bool ok = setRandomSerial(cert.get()) && X509_set_version(cert.get(), 2) == 1 &&
                    addName(subject, "O", "Tarnwell") && addName(subject, "CN", ipAddress.toUtf8()) &&
                    X509_set_issuer_name(cert.get(), subject) == 1 &&
                    setTime(X509_getm_notBefore(cert.get()), notBefore) &&
                    setTime(X509_getm_notAfter(cert.get()), notBefore.addDays(validDays)) &&
                    X509_set_pubkey(cert.get(), key.get()) == 1 &&
                    addExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") &&
                    addExtension(cert.get(), NID_key_usage, "critical,digitalSignature") &&
                    addExtension(cert.get(), NID_ext_key_usage, "serverAuth") &&
                    addExtension(cert.get(), NID_subject_key_identifier, "hash") &&
                    addExtension(cert.get(), NID_subject_alt_name, alternatives.join(',').toUtf8()) &&
                    X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
    const Bio text(BIO_new(BIO_s_mem()));
    if (!ok || !text || PEM_write_bio_X509(text.get(), cert.get()) != 1) return std::nullopt;
    return bioText(text.get());
}

bool belongsTo(const QByteArray& certificatePem, const QByteArray& keyPem) {
    const Cert cert = readCertificate(certificatePem);
    const Key key = readKey(keyPem);
    return cert && key && X509_check_private_key(cert.get(), key.get()) == 1;
}

}  // namespace SelfSigned
