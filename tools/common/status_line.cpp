#include "status_line.h"

#include <unistd.h>

StatusLine::StatusLine() : StatusLine(stderr, isatty(STDERR_FILENO) == 1) {}

void StatusLine::show(const std::string& text) {
    if (!enabled_) return;
    std::fprintf(stream_, "\r\033[K%s", text.c_str());
    std::fflush(stream_);
    shown_ = true;
}

void StatusLine::clear() {
    if (!shown_) return;
    std::fputs("\r\033[K", stream_);
    std::fflush(stream_);
    shown_ = false;
}

void StatusLine::keep() {
    if (!shown_) return;
    std::fputs("\n", stream_);
    std::fflush(stream_);
    shown_ = false;
}
