// The gateway's certificates: one per address, kept while they can serve, made
// again when they cannot, in private files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <functional>

#include "certificate_store.h"
#include "self_signed.h"

namespace {

const QStringList kNames{"localhost", "desk.local"};
const QDateTime kNow = QDateTime::currentDateTimeUtc();
constexpr char kAddress[] = "192.168.1.20";

void put(const QString& path, const QByteArray& data) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
}

unsigned mode(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Whichever way it came, it names its address and the host's names for two years.
TEST(CertificateStore, KeptWhileItCanServeAndMadeAgainOtherwise) {
    struct Case {
        const char* name;
        qint64 madeDaysAgo;
        bool sameStore;  // else a second store on the same folder, as after a restart
        std::function<void(const CertificateStore&, const QString& folder)> spoil;
        bool madeAgain;
    };
    const auto nothing = [](const CertificateStore&, const QString&) {};
    const Case cases[] = {
        {"asked again", 0, true, nothing, false},
        {"after a restart on other addresses", 0, false,
         [](const CertificateStore&, const QString& folder) {
             CertificateStore elsewhere(folder, kNames);
             QString e;
             EXPECT_TRUE(elsewhere.obtain("10.0.0.7", kNow, e).value().made);
         },
         false},
        {"expiring within a day", 729, true, nothing, true},
        {"expiring within a day, after a restart", 729, false, nothing, true},
        {"belonging to another key", 0, false,
         [](const CertificateStore& store, const QString& folder) {
             CertificateStore other(folder + "-other", kNames);
             QString e;
             put(store.certificatePath(kAddress), other.obtain(kAddress, kNow, e)->certificate.toPem());
         },
         true},
        {"its key broken", 0, false, [](const CertificateStore& s, const QString&) { put(s.keyPath(), "x"); },
         true},
    };
    for (const Case& c : cases) {
        QTemporaryDir dir;
        CertificateStore store(dir.path() + "/tarnwell", kNames);
        QString e;
        const auto first = store.obtain(kAddress, kNow.addDays(-c.madeDaysAgo), e);
        ASSERT_TRUE(first && first->made) << c.name;
        c.spoil(store, dir.path() + "/tarnwell");
        CertificateStore restarted(dir.path() + "/tarnwell", kNames);
        const auto second = (c.sameStore ? store : restarted).obtain(kAddress, kNow, e);
        ASSERT_TRUE(second) << c.name << ": " << e.toStdString();
        EXPECT_EQ(second->made, c.madeAgain) << c.name;
        EXPECT_EQ(second->certificate.toDer() == first->certificate.toDer(), !c.madeAgain) << c.name;
        EXPECT_TRUE(SelfSigned::belongsTo(second->certificate.toPem(), second->key.toPem())) << c.name;
        const auto names = second->certificate.subjectAlternativeNames();
        EXPECT_EQ(names.values(QSsl::IpAddressEntry), QList<QString>{kAddress}) << c.name;
        const QList<QString> dns = names.values(QSsl::DnsEntry);
        EXPECT_EQ(QSet<QString>(dns.begin(), dns.end()), QSet<QString>(kNames.begin(), kNames.end()))
            << c.name;
        EXPECT_NEAR(double(kNow.daysTo(second->certificate.expiryDate())), 730, 1) << c.name;
    }
}

TEST(CertificateStore, KeepsPrivateFilesAndReplacesALinkAtTheirName) {
    QTemporaryDir dir;
    CertificateStore store(dir.path() + "/tarnwell", kNames);
    QString e;
    ASSERT_TRUE(store.obtain("127.0.0.1", kNow, e));
    put(dir.path() + "/elsewhere", "untouched");
    QFile::link(dir.path() + "/elsewhere", store.certificatePath(kAddress));
    ASSERT_TRUE(store.obtain(kAddress, kNow, e)) << e.toStdString();
    EXPECT_EQ(mode(dir.path() + "/tarnwell"), 0700u);
    EXPECT_EQ(mode(dir.path() + "/tarnwell/certs"), 0700u);
    EXPECT_EQ(mode(store.keyPath()), 0600u);
    EXPECT_EQ(mode(store.certificatePath(kAddress)), 0600u);  // a file now, not the link
    QFile elsewhere(dir.path() + "/elsewhere");
    ASSERT_TRUE(elsewhere.open(QIODevice::ReadOnly));
    EXPECT_EQ(elsewhere.readAll(), "untouched");

    // A name that cannot be replaced fails the call and leaves no temporary file.
    QDir().mkdir(store.certificatePath("10.0.0.7"));
    EXPECT_FALSE(store.obtain("10.0.0.7", kNow, e));
    EXPECT_EQ(QDir(dir.path() + "/tarnwell/certs").entryList(QDir::Files | QDir::Hidden).size(), 2);
}

}  // namespace
