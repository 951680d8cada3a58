// The control lines: what a sender writes and what the engine recognises.
#include "control_line.h"

#include <gtest/gtest.h>

namespace {

TEST(ControlLine, ModeTable) {
    const std::pair<const char*, std::optional<int>> rows[] = {
        {R"({"t":"mode","mode":0})", 0},
        {R"({"t":"mode","mode":1})", 1},
        {R"({"t":"mode","mode":2})", 2},
        {"{\"t\":\"mode\",\"mode\": \t 2}", 2},
        {R"({"t":"mode","mode":12})", 1},  // only the first byte is read
        {R"({"t":"mode","mode":3})", std::nullopt},
        {R"({"t":"mode","mode":"1"})", std::nullopt},
        {R"({"t":"mode","mode":-1})", std::nullopt},
        {R"({"mode":1})", std::nullopt},  // lacks "t":"mode"
        {R"({"t":"mode"})", std::nullopt},
        {R"({"t":"mode","mode":   )", std::nullopt},
        {R"({"mode":2,"t":"mode","mode":0})", 0},  // the last key decides
        {R"({"mode":2,"t":"mode"})", 2},           // also before "t":"mode"
        {R"({"t": "mode","mode":1})", std::nullopt},
    };
    for (const auto& [line, mode] : rows)
        EXPECT_EQ(ControlLine::modeOf(line), mode) << line;
}

TEST(ControlLine, HelloPinForms) {
    const std::pair<const char*, bool> rows[] = {
        {R"({"t":"hello","pin":"1234"})", true},
        {"{\"t\":\"hello\",\"pin\": \t\"1234\"}", true},
        {R"({"pin":"1234","t":"hello"})", true},
        {R"({"t":"hello","pin":1234})", false},
        {R"({"t":"hello","pin":" 1234"})", false},
        {R"({"t":"hello","pin":"12345"})", false},
        {R"({"t":"hello","pin":"1234)", false},
        {R"({"t":"hello"})", false},
        {R"({"t":"hello","pin":"0000","pin":"1234"})", false},  // the first key decides
        {R"({"pin":"1234"})", false},
        {R"({"t":"hello","pin":"12\u0033\u0034"})", true},  // escapes decoded
        {R"({"t":"hello","pin":"12\q34"})", false},
    };
    for (const auto& [line, ok] : rows)
        EXPECT_EQ(ControlLine::helloCarries(line, "1234"), ok) << line;
    EXPECT_FALSE(ControlLine::helloCarries(R"({"t":"hello","pin":""})", ""));
    // A PIN with a quote or backslash goes out escaped and is read back; the raw
    // form the engine always took still passes.
    for (const char* odd : {"a\"b", "a\\b", "a\\"})
        EXPECT_TRUE(ControlLine::helloCarries(ControlLine::hello(odd), odd)) << ControlLine::hello(odd);
    EXPECT_TRUE(ControlLine::helloCarries(R"({"t":"hello","pin":"a\"})", "a\\"));
    EXPECT_EQ(ControlLine::hello("1234"), R"({"t":"hello","pin":"1234"})");
    EXPECT_EQ(ControlLine::ping(7), R"({"t":"ping","id":7})");
    EXPECT_EQ(ControlLine::mode(2), R"({"t":"mode","mode":2})");
    EXPECT_EQ(ControlLine::echoedPingId(ControlLine::ping(7)), 7u);
    EXPECT_EQ(ControlLine::reply(ControlLine::kHelloErr), ControlLine::Reply::HelloErr);
}

}  // namespace
