#include "line_framer.h"

bool LineFramer::append(const char* data, size_t size) {
    buffer_.append(data, size);
    return buffered() <= limit_;
}

std::optional<std::string> LineFramer::next() {
    for (;;) {
        const size_t end = buffer_.find('\n', begin_);
        if (end == std::string::npos) {
            buffer_.erase(0, begin_);
            begin_ = 0;
            return std::nullopt;
        }
        size_t len = end - begin_;
        if (len > 0 && buffer_[begin_ + len - 1] == '\r') --len;
        const size_t start = begin_;
        begin_ = end + 1;
        if (len > 0) return buffer_.substr(start, len);
    }
}

void LineFramer::clear() {
    buffer_.clear();
    buffer_.shrink_to_fit();
    begin_ = 0;
}
