#include "options.h"

#include <cstdio>

namespace tool_options {

CLI::Validator quiet(CLI::Validator v) {
    v.description("");
    return v;
}

std::string numberText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

}  // namespace tool_options
