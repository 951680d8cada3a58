#include "status_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace {
constexpr size_t kFallbackColumns = 80;
}

StatusLine::StatusLine(std::FILE* stream, Clock::duration interval)
    : StatusLine(stream, isatty(fileno(stream)) == 1 ? Mode::live : Mode::lines, interval) {}

size_t StatusLine::width() const {
    if (mode_ != Mode::live) return 0;
    winsize size{};
    if (ioctl(fileno(stream_), TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return kFallbackColumns;
    return size.ws_col;
}

void StatusLine::show(const std::string& text, Clock::time_point now) {
    if (mode_ == Mode::lines) {
        if (printedLine_ && now < nextLine_) return;
        std::fprintf(stream_, "%s\n", text.c_str());
        std::fflush(stream_);
        printedLine_ = true;
        nextLine_ = now + interval_;
        return;
    }
    if (mode_ != Mode::live) return;
    // The last column stays empty: some terminals wrap as soon as it is written.
    std::fprintf(stream_, "\r\033[K%s", fitToWidth(text, width() - 1).c_str());
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

std::string fitToWidth(const std::string& text, size_t columns) {
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        // Continuation bytes (10xxxxxx) belong to the character before them.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (characters++ == columns) return text.substr(0, i);
    }
    return text;
}
