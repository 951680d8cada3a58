#pragma once

#include <chrono>
#include <string>

#include "unique_fd.h"

// The trace mode's log: when SONVALE_TRACE names a file, JSON lines are
// appended to "$SONVALE_TRACE.<process>" (O_APPEND, so processes may share a
// folder). Lines are buffered and written at most every 100 ms, and at the
// end, so tracing never waits on the disk in the audio path. Without the
// variable (or when the file cannot be opened) every call does nothing.
// Times in the lines are CLOCK_MONOTONIC microseconds (steady_clock here).
class TraceLog {
public:
    explicit TraceLog(const char* process);
    ~TraceLog();

    bool enabled() const { return static_cast<bool>(fd_); }
    // One line; the newline is added.
    void write(const std::string& line);
    void flush();

    static long long micros(std::chrono::steady_clock::time_point t);

private:
    UniqueFd fd_;
    std::string pending_;
    std::chrono::steady_clock::time_point flushed_{};
};
