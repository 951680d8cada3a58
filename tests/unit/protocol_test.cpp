// The pairing URL from the computer's writer to the phone's reader.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "arrival_jitter.h"
#include "pairing_url.h"
#include "trace_log.h"

namespace {

// Jitter moves a sixteenth of the way towards each change of transit time.
TEST(ArrivalJitter, FollowsTransitChangesBySixteenths) {
    ArrivalJitter j;
    for (int64_t n = 0; n < 10; ++n)
        j.add(n * 20000, 5000 + n * 20000);  // any clock offset
    EXPECT_EQ(j.us(), 0);
    j.add(200000, 205000 + 16000);  // 16 ms late
    EXPECT_EQ(j.us(), 1000);
    j.add(220000, 225000);  // on time again: a change of 16 ms
    EXPECT_EQ(j.us(), 1000 + 15000 / 16.0);
}

// Whatever the computer is called, the phone reads back exactly what was written.
TEST(PairingUrl, RoundTripKeepsEveryName) {
    const std::string names[] = {
        "Studio Mac",          "Anna\u2019s Mac",
        "A&B=C#x?y",           "x+Y %41",
        "Caf\u00e9-._~",       "",
        "&pin=0000&host=evil", "\u65e5\u672c\u8a9e \U0001F3A4",
    };
    for (const std::string& name : names) {
        const std::string url = makePairingURL("192.168.1.20", 47810, name, "0427");
        for (char c : url)  // a QR code carries it as plain URL text
            EXPECT_TRUE(c > 0x20 && c < 0x7f) << url;
        const std::optional<PairingTarget> t = parsePairingURL(url);
        ASSERT_TRUE(t) << url;
        EXPECT_EQ(t->host, "192.168.1.20");
        EXPECT_EQ(t->port, 47810);
        EXPECT_EQ(t->name, name);
        EXPECT_EQ(t->pin, "0427");
    }
}

TEST(PairingUrl, ReaderAcceptsAnyOrderUnknownKeysSchemeCaseAndNoName) {
    const std::optional<PairingTarget> t =
        parsePairingURL("SONVALE://Connect?pin=9&ver=2&port=1&host=h.local");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->host, "h.local");
    EXPECT_EQ(t->port, 1);
    EXPECT_EQ(t->name, "");
    EXPECT_EQ(t->pin, "9");
    EXPECT_EQ(percentDecode("%e2%80%99%41"), "\u2019A");
}

// A code from anywhere cannot smuggle bytes into the hello line, the phone's
// terminal or its connection.
TEST(PairingUrl, ReaderRefusesWhatCannotBeTrusted) {
    const std::string rows[] = {
        "",
        "http://connect?host=a&port=1&pin=1",
        "sonvale://pair?host=a&port=1&pin=1",
        "sonvale://connect?port=47810&pin=1",
        "sonvale://connect?host=a&pin=1",
        "sonvale://connect?host=a&port=47810",
        "sonvale://connect?host=a&port=47810&pin=",
        "sonvale://connect?host=&port=47810&pin=1",
        "sonvale://connect?host=a&port=0&pin=1",
        "sonvale://connect?host=a&port=65536&pin=1",
        "sonvale://connect?host=a&port=+47810&pin=1",
        "sonvale://connect?host=a&port=4781x&pin=1",
        "sonvale://connect?host=a&port=1&pin=1&pin=2",
        "sonvale://connect?host=a&port=1&pin=1%22%7D",
        "sonvale://connect?host=a&port=1&pin=1%0A",
        "sonvale://connect?host=a%20b&port=1&pin=1",
        "sonvale://connect?host=a&port=1&pin=1&name=%1B%5B2J",
        "sonvale://connect?host=a&port=1&pin=1&name=%FF",
        "sonvale://connect?host=a&port=1&pin=1&name=%C0%AF",
        "sonvale://connect?host=a&port=1&pin=1&name=%E2%80",
        "sonvale://connect?host=a&port=1&pin=1&name=%4",
        "sonvale://connect?host=a&port=1&pin=1&name=%00",
        "sonvale://connect?host=a&port=1&pin=1#frag",
        std::string("sonvale://connect?host=a&port=1&pin=1&name=a\0b", 45),
    };
    for (const std::string& url : rows)
        EXPECT_FALSE(parsePairingURL(url)) << url;
}

// The trace goes to "$SONVALE_TRACE.<process>", one JSON object per line, and
// only while the variable names a file.
TEST(TraceLog, AppendsLinesOnlyWhenAsked) {
    const std::string base = ::testing::TempDir() + "trace_log_test";
    std::remove((base + ".engine").c_str());
    unsetenv("SONVALE_TRACE");
    EXPECT_FALSE(TraceLog("engine").enabled());
    setenv("SONVALE_TRACE", base.c_str(), 1);
    {
        TraceLog trace("engine");
        trace.line(5, R"(,"leg":"ring","seq":7)");
        trace.line(6, R"(,"leg":"ring","seq":8)");
    }
    unsetenv("SONVALE_TRACE");
    std::stringstream written;
    written << std::ifstream(base + ".engine").rdbuf();
    EXPECT_EQ(written.str(), "{\"t\":5,\"leg\":\"ring\",\"seq\":7}\n{\"t\":6,\"leg\":\"ring\",\"seq\":8}\n");
}

}  // namespace
