#include "results.h"

#include <cmath>
#include <cstdio>
#include <fstream>

namespace {
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}
}  // namespace

void Results::set(const std::string& key, double value) {
    char text[64];
    if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15) {
        std::snprintf(text, sizeof text, "%.0f", value);
    } else if (std::isfinite(value)) {
        std::snprintf(text, sizeof text, "%.9g", value);
    } else {
        std::snprintf(text, sizeof text, "null");
    }
    entries_.emplace_back(key, text);
}

void Results::set(const std::string& key, const std::string& text) {
    entries_.emplace_back(key, quoted(text));
}

bool Results::write(const std::string& path) const {
    std::ofstream out(path);
    out << "{\n";
    for (size_t i = 0; i < entries_.size(); ++i) {
        out << "  " << quoted(entries_[i].first) << ": " << entries_[i].second
            << (i + 1 < entries_.size() ? ",\n" : "\n");
    }
    out << "}\n";
    return static_cast<bool>(out);
}
