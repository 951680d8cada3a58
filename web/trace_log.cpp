#include "trace_log.h"

#include <fcntl.h>

#include <cstdlib>

namespace {
constexpr auto kFlushEvery = std::chrono::milliseconds(100);
}

TraceLog::TraceLog(const char* process) {
    const char* base = std::getenv("SONVALE_TRACE");
    if (!base || !*base) return;
    const std::string path = std::string(base) + "." + process;
    fd_ = UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
}

TraceLog::~TraceLog() {
    flush();
}

long long TraceLog::micros(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

void TraceLog::write(const std::string& line) {
    if (!fd_) return;
    pending_ += line;
    pending_ += '\n';
    if (std::chrono::steady_clock::now() - flushed_ >= kFlushEvery) flush();
}

void TraceLog::flush() {
    flushed_ = std::chrono::steady_clock::now();
    size_t at = 0;
    while (fd_ && at < pending_.size()) {
        const ssize_t n = ::write(fd_.get(), pending_.data() + at, pending_.size() - at);
        if (n <= 0) break;  // a full disk loses the trace, never the stream
        at += static_cast<size_t>(n);
    }
    pending_.clear();
}
