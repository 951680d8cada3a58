#pragma once

#include <string>

#include "status_line.h"

// The tool's output: events as "[mic] " lines on standard output (a desktop
// session's journal collects them), errors on standard error, and the status
// line either redrawn in place on a terminal, printed as lines, or not at all.
class Console {
public:
    enum class StatusMode { live, lines, off };

    explicit Console(StatusMode mode)
        : mode_(mode),
          live_(stdout, mode == StatusMode::live ? StatusLine::Mode::live : StatusLine::Mode::off) {}
    // The last live status stays on screen.
    ~Console() { live_.keep(); }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    void event(const std::string& text);
    void error(const std::string& text);
    void status(const std::string& text);

private:
    StatusMode mode_;
    StatusLine live_;
};
