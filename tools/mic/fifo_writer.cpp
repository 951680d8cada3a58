#include "fifo_writer.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {
constexpr size_t kFrameBytes = 2 * sizeof(float);
}

std::string FifoWriter::defaultPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/sonvale-mic.fifo";
    return "/tmp/sonvale-mic-" + std::to_string(geteuid()) + ".fifo";
}

void FifoWriter::removeLeftover(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode) && st.st_uid == geteuid()) unlink(path.c_str());
}

bool FifoWriter::open(const std::string& path, size_t capacityFrames, std::string& error) {
    close();
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        error = path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    if (!S_ISFIFO(st.st_mode) || st.st_uid != geteuid()) {
        error = path + ": not a FIFO of this user";
        ::close(fd);
        return false;
    }
    // The default 64 KiB hold only 170 ms; a failure leaves the default.
    const auto bytes = static_cast<int>(std::min<size_t>(capacityFrames * kFrameBytes, 1 << 20));
    if (fcntl(fd, F_GETPIPE_SZ) < bytes) fcntl(fd, F_SETPIPE_SZ, bytes);
    const int capacity = fcntl(fd, F_GETPIPE_SZ);
    capacity_ = capacity > 0 ? static_cast<size_t>(capacity) / kFrameBytes : 0;
    fd_ = fd;
    return true;
}

void FifoWriter::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

size_t FifoWriter::queued() const {
    int bytes = 0;
    if (fd_ < 0 || ioctl(fd_, FIONREAD, &bytes) != 0) return 0;
    return static_cast<size_t>(bytes) / kFrameBytes;
}

size_t FifoWriter::write(const float* frames, size_t count) {
    // A write that fits is taken whole, so a frame is never split.
    const size_t n = std::min(count, capacity_ - std::min(capacity_, queued()));
    if (fd_ < 0 || n == 0) return 0;
    const ssize_t written = ::write(fd_, frames, n * kFrameBytes);
    return written > 0 ? static_cast<size_t>(written) / kFrameBytes : 0;
}

void FifoWriter::flush() {
    if (fd_ < 0) return;
    char discard[4096];
    while (::read(fd_, discard, sizeof discard) > 0) {
    }
}
