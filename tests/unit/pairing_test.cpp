#include <gtest/gtest.h>

#include <QUrl>
#include <QUrlQuery>

#include "pairing.h"
#include "pairing_url.h"

namespace {

TEST(Pairing, TheUrlOfTheExample) {
    EXPECT_EQ(makePairingURL(QStringLiteral("192.168.1.20"), 47810, QStringLiteral("Studio Mac"),
                             QStringLiteral("0042")),
              QStringLiteral("sonvale://connect?host=192.168.1.20&port=47810&name=Studio%20Mac&pin=0042"));
    EXPECT_EQ(makePairingURL(QStringLiteral("10.0.0.7"), 80, QStringLiteral("a"), QStringLiteral("9999")),
              QStringLiteral("sonvale://connect?host=10.0.0.7&port=80&name=a&pin=9999"));
}

TEST(Pairing, NamePercentEncoding) {
    struct Case {
        const char* name;
        const char* encoded;
    };
    const Case cases[] = {
        {" ", "%20"},
        {"&", "%26"},
        {"=", "%3D"},
        {"\xE2\x80\x99", "%E2%80%99"},  // U+2019 RIGHT SINGLE QUOTATION MARK
        {"\xC3\xA9t\xC3\xA9", "%C3%A9t%C3%A9"},
        {"\xF0\x9F\x8E\xA4", "%F0%9F%8E%A4"},
        {"AZaz09-._~", "AZaz09-._~"},
        {"/?#+%'\"", "%2F%3F%23%2B%25%27%22"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(percentEncode(c.name), c.encoded) << c.name;
}

TEST(Pairing, ANameCannotBreakTheQuery) {
    const QString name = QString::fromUtf8("Bob\xE2\x80\x99s Mac & pin=9999#x?y=1");
    const QUrl url(makePairingURL(QStringLiteral("192.168.1.20"), 47810, name, QStringLiteral("1234")));
    ASSERT_TRUE(url.isValid());
    EXPECT_EQ(url.scheme(), QStringLiteral("sonvale"));
    EXPECT_EQ(url.host(), QStringLiteral("connect"));
    const QUrlQuery query(url);
    EXPECT_EQ(query.queryItemValue(QStringLiteral("name"), QUrl::FullyDecoded), name);
    EXPECT_EQ(query.allQueryItemValues(QStringLiteral("pin")), QStringList{QStringLiteral("1234")});
    EXPECT_EQ(query.queryItemValue(QStringLiteral("host")), QStringLiteral("192.168.1.20"));
    EXPECT_EQ(query.queryItemValue(QStringLiteral("port")), QStringLiteral("47810"));
}

}  // namespace
