#pragma once

#include <cstddef>
#include <optional>
#include <string>

// Cuts a connection's byte stream into lines: each ends with LF, one CR right
// before the LF is dropped, empty lines are skipped. Unconsumed input is limited:
// append() reports when it would hold more than the limit, and the caller closes.
class LineFramer {
public:
    explicit LineFramer(size_t limit) : limit_(limit) {}

    // False when the unconsumed input now exceeds the limit (the bytes are kept;
    // the caller is expected to drop the connection).
    bool append(const char* data, size_t size);
    // The next complete non-empty line, or nullopt when none is complete.
    std::optional<std::string> next();
    void clear();
    size_t buffered() const { return buffer_.size() - begin_; }

private:
    size_t limit_;
    std::string buffer_;
    size_t begin_ = 0;  // consumed bytes at the front, erased once no line is left
};
