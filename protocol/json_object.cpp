#include "json_object.h"

#include <cstdio>

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

JsonObject& JsonObject::member(std::string_view key, std::string_view json) {
    if (!members_.empty()) members_.push_back(',');
    members_ += jsonString(key);
    members_.push_back(':');
    members_ += json;
    return *this;
}

JsonObject& JsonObject::text(std::string_view key, std::string_view value) {
    return member(key, jsonString(value));
}

JsonObject& JsonObject::integer(std::string_view key, uint64_t value) {
    return member(key, std::to_string(value));
}

JsonObject& JsonObject::number(std::string_view key, double value, int decimals) {
    char digits[64];
    std::snprintf(digits, sizeof digits, "%.*f", decimals, value);
    return member(key, digits);
}

JsonObject& JsonObject::boolean(std::string_view key, bool value) {
    return member(key, value ? "true" : "false");
}

JsonObject& JsonObject::object(std::string_view key, const JsonObject& value) {
    return member(key, value.str());
}
