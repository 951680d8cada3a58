#pragma once

#include <string>

// Keeps a second sonvale-mic away from the ring: the ring has room for one
// consuming reader. An exclusive lock on a file beside the ring, released when
// the process ends in any way.
class InstanceLock {
public:
    enum class Result { acquired, heldByAnother, failed };

    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    Result acquire(const std::string& path);
    // The reason of a failure, for the error message.
    const std::string& error() const { return error_; }

private:
    int fd_ = -1;
    std::string error_;
};
