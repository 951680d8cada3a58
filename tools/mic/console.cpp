#include "console.h"

#include <cstdio>

Console::~Console() {
    if (liveLineShown_) std::fputs("\n", stdout);
    std::fflush(stdout);
}

void Console::clearLiveLine() {
    if (!liveLineShown_) return;
    std::fputs("\r\x1b[K", stdout);
    liveLineShown_ = false;
}

void Console::event(const std::string& text) {
    clearLiveLine();
    std::printf("[mic] %s\n", text.c_str());
    std::fflush(stdout);
}

void Console::error(const std::string& text) {
    clearLiveLine();
    std::fflush(stdout);
    std::fprintf(stderr, "sonvale-mic: %s\n", text.c_str());
}

void Console::status(const std::string& text) {
    switch (mode_) {
        case StatusMode::off:
            return;
        case StatusMode::lines:
            std::printf("[mic] %s\n", text.c_str());
            break;
        case StatusMode::live:
            std::printf("\r[mic] %s\x1b[K", text.c_str());
            liveLineShown_ = true;
            break;
    }
    std::fflush(stdout);
}
