#pragma once

#include <string>

// A one-line live status on standard error, redrawn in place, only when
// standard error is a terminal; in scripts it stays silent.
class StatusLine {
public:
    StatusLine();
    ~StatusLine() { clear(); }
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    bool enabled() const { return enabled_; }
    void show(const std::string& text);
    // Removes the line, so a message or summary can follow on a clean line.
    void clear();

private:
    bool enabled_;
    bool shown_ = false;
};

// text as a JSON string literal, quotes included.
std::string jsonString(const std::string& text);
