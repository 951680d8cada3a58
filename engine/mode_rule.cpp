#include "mode_rule.h"

std::optional<int> parseModeLine(std::string_view line) {
    if (line.find("\"t\":\"mode\"") == std::string_view::npos) return std::nullopt;
    constexpr std::string_view kKey = "\"mode\":";
    size_t pos = line.rfind(kKey);
    if (pos == std::string_view::npos) return std::nullopt;
    pos += kKey.size();
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
        ++pos;
    if (pos >= line.size()) return std::nullopt;
    const char digit = line[pos];
    if (digit < '0' || digit > '2') return std::nullopt;
    return digit - '0';
}

int jitterTargetForMode(int mode) {
    return 2 << mode;
}
