// The gateway's certificate: what it names, how long it holds, how its key is
// kept, and when it is made again.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <QFile>
#include <QTemporaryDir>

#include <optional>

#include "certificate_store.h"

namespace {

const QStringList kNames{"localhost", "desk.local"};
const QStringList kAddresses{"127.0.0.1", "192.168.1.20"};

bool usableForServers(const QSslCertificate& cert) {
    const QByteArray pem = cert.toPem();
    BIO* bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    X509* x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    const bool ok = x && X509_check_purpose(x, X509_PURPOSE_SSL_SERVER, 0) == 1 && X509_get_version(x) == 2;
    X509_free(x);
    BIO_free(bio);
    return ok;
}

TEST(CertificateStore, MakesAServerCertificateNamingEveryAddress) {
    QTemporaryDir dir;
    const CertificateStore store(dir.path() + "/tarnwell");
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QString error;
    const auto identity = store.obtain(kNames, kAddresses, now, error);
    ASSERT_TRUE(identity) << error.toStdString();
    EXPECT_TRUE(identity->made);
    const auto names = identity->certificate.subjectAlternativeNames();
    const auto set = [](const QStringList& l) { return QSet<QString>(l.begin(), l.end()); };
    EXPECT_EQ(set(names.values(QSsl::DnsEntry)), set(kNames));
    EXPECT_EQ(set(names.values(QSsl::IpAddressEntry)), set(kAddresses));
    EXPECT_NEAR(double(now.daysTo(identity->certificate.expiryDate())), 730, 2);
    EXPECT_TRUE(usableForServers(identity->certificate));
    EXPECT_EQ(identity->key.algorithm(), QSsl::Ec);
    EXPECT_EQ(identity->key.length(), 256);
}

TEST(CertificateStore, IsReusedWhileValidAndMadeAgainOtherwise) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QString e;
    const auto expired = CertificateStore::make(kNames, kAddresses, now.addDays(-800), 730, e);
    const auto endsToday = CertificateStore::make(kNames, kAddresses, now.addDays(-1), 1, e);
    const auto other = CertificateStore::make(kNames, kAddresses, now, 730, e);
    struct Case {
        const char* name;
        std::optional<CertificateStore::Identity> replacement;
        bool keyOnly;    // of the replacement, only its key is stored
        bool keyOpened;  // the key file made readable by others
        QStringList addresses;
        bool madeAgain;
    };
    const Case cases[] = {
        {"unchanged", {}, false, false, kAddresses, false},
        {"an address fewer", {}, false, false, {"127.0.0.1"}, false},
        {"a new address", {}, false, false, kAddresses + QStringList{"10.0.0.7"}, true},
        {"key opened to others", {}, false, true, kAddresses, false},
        {"expired", expired, false, false, kAddresses, true},
        {"expiring within a day", endsToday, false, false, kAddresses, true},
        {"key of another certificate", other, true, false, kAddresses, true},
    };
    for (const Case& c : cases) {
        QTemporaryDir dir;
        const CertificateStore store(dir.path());
        const auto first = store.obtain(kNames, kAddresses, now, e);
        ASSERT_TRUE(first) << c.name;
        if (c.replacement && !c.keyOnly) store.store(*c.replacement, e);
        QFile key(store.keyPath());
        if (c.keyOnly && key.open(QIODevice::WriteOnly | QIODevice::Truncate))
            key.write(c.replacement->key.toPem());
        key.close();
        if (c.keyOpened) chmod(QFile::encodeName(store.keyPath()).constData(), 0644);
        const auto second = store.obtain(kNames, c.addresses, now, e);
        ASSERT_TRUE(second) << c.name << ": " << e.toStdString();
        EXPECT_EQ(second->made, c.madeAgain) << c.name;
        EXPECT_EQ(second->certificate == first->certificate, !c.madeAgain) << c.name;
        struct stat st {};  // the key is private to its user, made or kept
        stat(QFile::encodeName(store.keyPath()).constData(), &st);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << c.name;
    }
}

}  // namespace
