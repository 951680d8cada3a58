#include "pairing_url.h"

#include <gtest/gtest.h>

namespace {

TEST(PairingUrl, ReadsWhatTheApplicationWrites) {
    const auto t =
        parsePairingURL("sonvale://connect?host=192.168.1.20&port=47810&name=Studio%20Mac&pin=0427");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->host, "192.168.1.20");
    EXPECT_EQ(t->port, 47810);
    EXPECT_EQ(t->name, "Studio Mac");
    EXPECT_EQ(t->pin, "0427");
}

TEST(PairingUrl, DecodesEveryEscapeOfTheName) {
    struct Row {
        const char* encoded;
        const char* name;
    };
    const Row rows[] = {
        {"Anna%E2%80%99s%20Mac", "Anna\u2019s Mac"},
        {"A%26B%3DC", "A&B=C"},      // cannot break the query
        {"x%2bY%2B1+2", "x+Y+1+2"},  // a plus sign stays a plus sign
        {"Caf%C3%A9-._~", "Caf\u00e9-._~"},
        {"", ""},
    };
    for (const Row& row : rows) {
        const auto t = parsePairingURL(std::string("sonvale://connect?host=10.0.0.7&port=47810&name=") +
                                       row.encoded + "&pin=1234");
        ASSERT_TRUE(t) << row.encoded;
        EXPECT_EQ(t->name, row.name) << row.encoded;
    }
}

TEST(PairingUrl, AcceptsAnyOrderMissingNameUnknownKeysAndSchemeCase) {
    auto t = parsePairingURL("SONVALE://Connect?pin=9&ver=2&port=1&host=h.local");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->host, "h.local");
    EXPECT_EQ(t->port, 1);
    EXPECT_EQ(t->name, "");
    EXPECT_EQ(t->pin, "9");
}

TEST(PairingUrl, RefusesWhatCannotBeTrusted) {
    const char* rows[] = {
        "",
        "sonvale://connect",
        "http://connect?host=a&port=1&pin=1",
        "sonvale://pair?host=a&port=1&pin=1",
        "sonvale://connect?port=47810&pin=1",        // no host
        "sonvale://connect?host=a&pin=1",            // no port
        "sonvale://connect?host=a&port=47810",       // no pin
        "sonvale://connect?host=a&port=47810&pin=",  // empty pin
        "sonvale://connect?host=&port=47810&pin=1",  // empty host
        "sonvale://connect?host=a&port=0&pin=1",
        "sonvale://connect?host=a&port=65536&pin=1",
        "sonvale://connect?host=a&port=-1&pin=1",
        "sonvale://connect?host=a&port=4781x&pin=1",
        "sonvale://connect?host=a&port=+47810&pin=1",
        "sonvale://connect?host=a&port=047810&pin=1",   // six digits
        "sonvale://connect?host=a&port=1&pin=1&pin=2",  // key twice
        "sonvale://connect?host=a&port=1&pin=1%22%7D",  // quote would end the hello's string
        "sonvale://connect?host=a&port=1&pin=1%0A",     // line end in the pin
        "sonvale://connect?host=a%20b&port=1&pin=1",
        "sonvale://connect?host=a&port=1&pin=1&name=%1B%5B2J",  // terminal escape in the name
        "sonvale://connect?host=a&port=1&pin=1&name=%FF",       // not UTF-8
        "sonvale://connect?host=a&port=1&pin=1&name=%C0%AF",    // overlong UTF-8
        "sonvale://connect?host=a&port=1&pin=1&name=%E2%80",    // truncated UTF-8
        "sonvale://connect?host=a&port=1&pin=1&name=%4",        // truncated escape
        "sonvale://connect?host=a&port=1&pin=1&name=%G1",
        "sonvale://connect?host=a&port=1&pin=1%",
        "sonvale://connect?host=a&port=1&pin=1#frag",
    };
    for (const char* url : rows)
        EXPECT_FALSE(parsePairingURL(url)) << url;
}

TEST(PairingUrl, SurvivesEmbeddedNulBytes) {
    const std::string url("sonvale://connect?host=a&port=1&pin=1&name=a\0b", 45);
    EXPECT_FALSE(parsePairingURL(url));
    EXPECT_FALSE(parsePairingURL(std::string_view("sonvale://connect?host=a&port=1&pin=1&name=%00", 46)));
}

TEST(PercentDecode, HandlesBothHexCasesAndRefusesBrokenEscapes) {
    EXPECT_EQ(percentDecode("%e2%80%99%41"), "\u2019A");
    EXPECT_EQ(percentDecode("100%25"), "100%");
    EXPECT_FALSE(percentDecode("%"));
    EXPECT_FALSE(percentDecode("%a"));
    EXPECT_FALSE(percentDecode("%%41"));
}

}  // namespace
