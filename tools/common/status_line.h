#pragma once

#include <cstdio>
#include <string>

// A one-line live status, redrawn in place; silent when not enabled (by
// default: standard error that is not a terminal, as in scripts).
class StatusLine {
public:
    StatusLine();
    StatusLine(std::FILE* stream, bool enabled) : stream_(stream), enabled_(enabled) {}
    ~StatusLine() { clear(); }
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    bool enabled() const { return enabled_; }
    void show(const std::string& text);
    // Removes the line, so a message or summary can follow on a clean line.
    void clear();
    // Ends the line where it stands, so the last status stays on screen.
    void keep();

private:
    std::FILE* stream_;
    bool enabled_;
    bool shown_ = false;
};
