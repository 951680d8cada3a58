#pragma once

#include <chrono>
#include <cstdio>
#include <string>

// A tool's live status. On a terminal it is one line redrawn in place and cut
// to the terminal's width, so a redraw never wraps into new lines. Elsewhere
// (a file, a pipe, a journal) it becomes plain lines at a calm rate: at most
// one per interval, the rest are skipped.
class StatusLine {
public:
    using Clock = std::chrono::steady_clock;
    enum class Mode { live, lines, off };

    // live when stream is a terminal, else lines.
    explicit StatusLine(std::FILE* stream, Clock::duration interval = std::chrono::seconds(1));
    StatusLine(std::FILE* stream, Mode mode, Clock::duration interval = std::chrono::seconds(1))
        : stream_(stream), mode_(mode), interval_(interval) {}
    ~StatusLine() { clear(); }
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    Mode mode() const { return mode_; }
    bool enabled() const { return mode_ != Mode::off; }
    // Columns a live line may use; 0 when the line is not live (no limit).
    size_t width() const;

    void show(const std::string& text) { show(text, Clock::now()); }
    void show(const std::string& text, Clock::time_point now);
    // Removes a live line, so a message or summary can follow on a clean line.
    void clear();
    // Ends a live line where it stands, so the last status stays on screen.
    void keep();

private:
    std::FILE* stream_;
    Mode mode_;
    Clock::duration interval_;
    bool shown_ = false;
    bool printedLine_ = false;
    Clock::time_point nextLine_{};
};

// text cut to at most columns characters (UTF-8 sequences are never split).
std::string fitToWidth(const std::string& text, size_t columns);
