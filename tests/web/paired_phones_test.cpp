// The phones paired once: their tokens, kept as hashes in a private file, and
// their names from their browsers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>

#include "paired_phones.h"
#include "phone_name.h"

TEST(PairedPhones, ATokenPairsItsPhoneUntilForgotten) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/tarnwell/phones.json";
    const QDateTime day1 = QDateTime::fromString("2030-01-01T08:00:00Z", Qt::ISODate);
    QString error;
    PairedPhones gateway(path);
    const auto token = gateway.pair("iPhone · Safari", day1, error);
    const auto other = gateway.pair("Android · Chrome", day1, error);
    ASSERT_TRUE(token && other) << error.toStdString();
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_FALSE(file.readAll().contains(token->toHex()));

    // The next launch (whatever its PIN) reads the same file.
    PairedPhones next(path);
    next.reload();
    const QDateTime day2 = day1.addDays(1);
    const auto id = next.check(*token, day2);
    ASSERT_TRUE(id);
    EXPECT_EQ(next.phones().front().lastSeen, day2);
    EXPECT_FALSE(next.check(QCryptographicHash::hash(*token, QCryptographicHash::Sha256), day2));
    EXPECT_FALSE(next.check(QByteArray(32, '\0'), day2));

    // Tarnwell forgets one; the gateway finds it gone at its next read.
    PairedPhones app(path);
    app.reload();
    ASSERT_TRUE(app.forget(*id, error));
    EXPECT_EQ(next.reload(), QStringList{*id});
    EXPECT_FALSE(next.check(*token, day2));
    EXPECT_TRUE(next.check(*other, day2));
    ASSERT_TRUE(app.forget({}, error));
    EXPECT_TRUE(next.reload().size() == 1 && next.phones().empty());
}

TEST(PhoneName, DeviceAndBrowserFromTheUserAgent) {
    const std::pair<const char*, const char*> rows[] = {
        {"Mozilla/5.0 (iPhone; CPU iPhone OS 17_4 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) "
         "Version/17.4 Mobile/15E148 Safari/604.1",
         "iPhone · Safari"},
        {"Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 Chrome/124.0 Mobile Safari/537.36",
         "Android · Chrome"},
        {"", "Phone · Browser"},
    };
    for (const auto& [agent, name] : rows)
        EXPECT_EQ(phoneName(agent), name) << agent;
}
