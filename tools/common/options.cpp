#include "options.h"

#include <cstdio>

namespace tool_options {

void addVersion(CLI::App& app, const std::string& tool) {
    app.set_version_flag("--version", tool + " " + TARNWELL_VERSION, "Print the version and exit");
}

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
