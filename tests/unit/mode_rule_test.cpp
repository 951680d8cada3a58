#include "mode_rule.h"

#include <gtest/gtest.h>

namespace {

struct Row {
    const char* line;
    std::optional<int> mode;
};

TEST(ModeRule, Table) {
    const Row rows[] = {
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
    for (const Row& row : rows)
        EXPECT_EQ(parseModeLine(row.line), row.mode) << row.line;
}

}  // namespace
