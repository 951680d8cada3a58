#include "console.h"

#include <cstdio>

void Console::event(const std::string& text) {
    live_.clear();
    std::printf("[mic] %s\n", text.c_str());
    std::fflush(stdout);
}

void Console::error(const std::string& text) {
    live_.clear();
    std::fflush(stdout);
    std::fprintf(stderr, "sonvale-mic: %s\n", text.c_str());
}

void Console::status(const std::string& text) {
    if (mode_ == StatusMode::lines) {
        std::printf("[mic] %s\n", text.c_str());
        std::fflush(stdout);
    } else {
        live_.show("[mic] " + text);
    }
}
