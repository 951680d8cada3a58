#include "trace_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

namespace {
constexpr int64_t kFlushEveryUs = 100'000;
}

TraceLog::TraceLog(const char* process) {
    const char* base = std::getenv("SONVALE_TRACE");
    if (base == nullptr || *base == '\0') return;
    const std::string path = std::string(base) + "." + process;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

TraceLog::~TraceLog() {
    if (fd_ < 0) return;
    flush();
    ::close(fd_);
}

int64_t TraceLog::nowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

void TraceLog::line(int64_t t, const std::string& fields) {
    if (fd_ < 0) return;
    pending_ += "{\"t\":" + std::to_string(t) + fields + "}\n";
    if (t - lastFlush_ >= kFlushEveryUs) flush();
}

// One write per flush: O_APPEND keeps lines whole even beside another writer.
void TraceLog::flush() {
    if (fd_ < 0) return;
    lastFlush_ = nowUs();
    size_t done = 0;
    while (done < pending_.size()) {
        const ssize_t n = ::write(fd_, pending_.data() + done, pending_.size() - done);
        if (n <= 0) break;  // a full disk loses trace lines, never audio
        done += static_cast<size_t>(n);
    }
    pending_.clear();
}
