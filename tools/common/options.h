#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <type_traits>

// Options whose help text ends with the default they really have: the value
// the variable holds when the option is added, so help and behaviour cannot
// drift apart.
namespace tool_options {

// --version: prints "tool VERSION" (the project's version) and exits 0.
void addVersion(CLI::App& app, const std::string& tool);

// A validator without its own note, for help texts that state the rule in words.
CLI::Validator quiet(CLI::Validator v);

// 47810 -> "47810", 1.0 -> "1", 0.25 -> "0.25".
std::string numberText(double value);

template <typename T>
std::string valueText(const T& value) {
    if constexpr (std::is_arithmetic_v<T>) {
        return numberText(static_cast<double>(value));
    } else {
        return value;
    }
}

// help + " (default V)".
template <typename T>
CLI::Option* addWithDefault(CLI::App& app, const std::string& name, T& value, const std::string& help) {
    return app.add_option(name, value, help + " (default " + valueText(value) + ")");
}

// Refuses values outside [lo, hi] (and NaN): "--x: 1e10 is out of range (0 to 10800)".
template <typename T>
CLI::Validator inRange(T lo, T hi) {
    return CLI::Validator(
        [lo, hi](std::string& text) -> std::string {
            T value{};
            if (!CLI::detail::lexical_cast(text, value)) return "not a number: " + text;
            if (!(value >= lo && value <= hi))
                return text + " is out of range (" + valueText(lo) + " to " + valueText(hi) + ")";
            return {};
        },
        "");
}

// help + " (default V, LO to HI)"; values outside [lo, hi] are refused.
template <typename T>
CLI::Option* addRanged(CLI::App& app, const std::string& name, T& value, T lo, T hi,
                       const std::string& help) {
    return app
        .add_option(
            name, value,
            help + " (default " + valueText(value) + ", " + valueText(lo) + " to " + valueText(hi) + ")")
        ->check(inRange(lo, hi));
}

}  // namespace tool_options
