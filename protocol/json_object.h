#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// One JSON object, written member by member in the order they are added.
// Numbers are printed with a fixed count of decimals, so a script sees the
// same shape on every run.
class JsonObject {
public:
    JsonObject& text(std::string_view key, std::string_view value);
    JsonObject& integer(std::string_view key, uint64_t value);
    JsonObject& number(std::string_view key, double value, int decimals);
    JsonObject& boolean(std::string_view key, bool value);
    JsonObject& object(std::string_view key, const JsonObject& value);

    // The object with its braces.
    std::string str() const { return "{" + members_ + "}"; }

private:
    JsonObject& member(std::string_view key, std::string_view json);

    std::string members_;
};

// text as a JSON string literal, quotes included; control bytes become \u00XX.
std::string jsonString(std::string_view text);
