#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The head of one HTTP/1.1 request as a browser sends it: request line, header
// fields, the blank line. Only what the gateway needs is kept.
struct HttpRequest {
    std::string method;
    std::string target;  // the path with its query; a fragment never reaches it
    std::vector<std::pair<std::string, std::string>> fields;  // names in lower case
    size_t headSize = 0;                                      // bytes up to and with the blank line
    size_t contentLength = 0;

    // The first field of that (lower-case) name, or empty.
    std::string field(std::string_view name) const;
    bool wantsWebSocket() const;
    bool keepAlive() const;
};

namespace HttpHead {

inline constexpr size_t kMaxHead = 8192;

enum class Status { Incomplete, Bad, TooLarge, Complete };

// Parses the head at the start of data. Incomplete until the blank line has
// arrived (TooLarge once kMaxHead bytes hold none); Bad for a malformed request
// line or field, a Content-Length that is not a plain decimal or is given twice,
// or a Transfer-Encoding (bodies come with a length only).
Status parse(std::string_view data, HttpRequest& request);

}  // namespace HttpHead
