#pragma once

#include <cstdint>
#include <string>

// The latency trace: when SONVALE_TRACE names a file, a process appends one JSON
// object per line to "$SONVALE_TRACE.<process>" (times on CLOCK_MONOTONIC, in µs,
// key "t"); bench/trace_join.py joins the files into the delay of every leg.
// Lines are kept in memory and written at most every 100 ms, so the audio path
// that logs them makes a system call only that often. Off (one branch per line)
// when the variable is unset.
class TraceLog {
public:
    explicit TraceLog(const char* process);
    ~TraceLog();
    TraceLog(const TraceLog&) = delete;
    TraceLog& operator=(const TraceLog&) = delete;

    bool enabled() const { return fd_ >= 0; }
    // Appends one line: fields is the object's members after "t", each with its
    // leading comma, e.g. ",\"leg\":\"ring\"".
    void line(int64_t t, const std::string& fields);
    void flush();

    static int64_t nowUs();

private:
    int fd_ = -1;
    std::string pending_;
    int64_t lastFlush_ = 0;
};
