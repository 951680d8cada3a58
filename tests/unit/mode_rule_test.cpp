#include "mode_rule.h"

#include <gtest/gtest.h>

namespace {

TEST(ModeRule, Table) {
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
        EXPECT_EQ(parseModeLine(line), mode) << line;
}

}  // namespace
