#include "http_request.h"

#include <algorithm>
#include <cctype>

namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool isToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return std::isalnum(c) ||
               std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
    });
}

bool hasControlBytes(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7F; });
}

// Whether a comma-separated field value lists token (without regard to case).
bool listsToken(std::string_view value, std::string_view token) {
    const std::string all = lower(value);
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(',', start);
        if (end == std::string::npos) end = all.size();
        if (trim(std::string_view(all).substr(start, end - start)) == token) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

std::string HttpRequest::field(std::string_view name) const {
    for (const auto& [key, value] : fields) {
        if (key == name) return value;
    }
    return {};
}

bool HttpRequest::wantsWebSocket() const {
    return method == "GET" && listsToken(field("upgrade"), "websocket") &&
           listsToken(field("connection"), "upgrade");
}

bool HttpRequest::keepAlive() const {
    return !listsToken(field("connection"), "close");
}

HttpHead::Status HttpHead::parse(std::string_view data, HttpRequest& request) {
    const size_t end = data.find("\r\n\r\n");
    if (end == std::string_view::npos || end + 4 > kMaxHead) {
        return data.size() >= kMaxHead ? Status::TooLarge : Status::Incomplete;
    }
    request = HttpRequest{};
    request.headSize = end + 4;
    std::string_view head = data.substr(0, end + 2);

    const size_t lineEnd = head.find("\r\n");
    const std::string_view line = head.substr(0, lineEnd);
    const size_t space1 = line.find(' ');
    const size_t space2 = line.rfind(' ');
    if (space1 == std::string_view::npos || space1 == space2) return Status::Bad;
    request.method = std::string(line.substr(0, space1));
    request.target = std::string(line.substr(space1 + 1, space2 - space1 - 1));
    const std::string_view version = line.substr(space2 + 1);
    if (!isToken(request.method) || request.target.empty() || request.target[0] != '/' ||
        request.target.find(' ') != std::string::npos || hasControlBytes(request.target) ||
        (version != "HTTP/1.1" && version != "HTTP/1.0")) {
        return Status::Bad;
    }

    bool lengthSeen = false;
    for (size_t at = lineEnd + 2; at < head.size();) {
        const size_t next = head.find("\r\n", at);
        const std::string_view field = head.substr(at, next - at);
        at = next + 2;
        const size_t colon = field.find(':');
        if (colon == std::string_view::npos || !isToken(field.substr(0, colon))) return Status::Bad;
        const std::string_view value = trim(field.substr(colon + 1));
        if (hasControlBytes(value)) return Status::Bad;
        std::string name = lower(field.substr(0, colon));
        if (name == "transfer-encoding") return Status::Bad;
        if (name == "content-length") {
            if (lengthSeen || value.empty() || value.size() > 9 ||
                !std::all_of(value.begin(), value.end(), [](unsigned char c) { return std::isdigit(c); })) {
                return Status::Bad;
            }
            lengthSeen = true;
            request.contentLength = std::stoul(std::string(value));
        }
        request.fields.emplace_back(std::move(name), std::string(value));
    }
    return Status::Complete;
}
