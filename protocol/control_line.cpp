#include "control_line.h"

#include <cstdlib>

#include "json_object.h"

namespace ControlLine {

namespace {

constexpr std::string_view kPingTag = "\"t\":\"ping\"";
constexpr std::string_view kHelloTag = "\"t\":\"hello\"";
constexpr std::string_view kModeTag = "\"t\":\"mode\"";
constexpr std::string_view kPinKey = "\"pin\":";
constexpr std::string_view kModeKey = "\"mode\":";
constexpr std::string_view kPingPrefix = "{\"t\":\"ping\",\"id\":";

bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

size_t skipBlanks(std::string_view line, size_t pos) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
        ++pos;
    return pos;
}

void appendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | code >> 6));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | code >> 12));
        out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// The JSON string whose opening quote is at open, escapes decoded; nullopt when
// it is unterminated or holds an escape JSON does not know. Surrogate halves
// are refused: a PIN is short printable text.
std::optional<std::string> jsonStringAt(std::string_view line, size_t open) {
    std::string out;
    for (size_t i = open + 1; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') return out;
        if (c != '\\') {
            out.push_back(c);
            continue;
        }
        if (++i >= line.size()) return std::nullopt;
        switch (line[i]) {
            case '"':
            case '\\':
            case '/':
                out.push_back(line[i]);
                break;
            case 'b':
                out.push_back('\b');
                break;
            case 'f':
                out.push_back('\f');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 'r':
                out.push_back('\r');
                break;
            case 't':
                out.push_back('\t');
                break;
            case 'u': {
                if (line.size() - i < 5) return std::nullopt;
                uint32_t code = 0;
                for (const char h : line.substr(i + 1, 4)) {
                    const int digit = h >= '0' && h <= '9'   ? h - '0'
                                      : h >= 'a' && h <= 'f' ? h - 'a' + 10
                                      : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                             : -1;
                    if (digit < 0) return std::nullopt;
                    code = code << 4 | static_cast<uint32_t>(digit);
                }
                if (code >= 0xD800 && code < 0xE000) return std::nullopt;
                appendUtf8(out, code);
                i += 4;
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace

std::string hello(std::string_view pin) {
    return JsonObject().text("t", "hello").text("pin", pin).str();
}

std::string ping(uint64_t id) {
    return JsonObject().text("t", "ping").integer("id", id).str();
}

std::string mode(int mode) {
    return JsonObject().text("t", "mode").integer("mode", static_cast<uint64_t>(mode)).str();
}

bool isPing(std::string_view line) {
    return contains(line, kPingTag);
}

bool isHello(std::string_view line) {
    return contains(line, kHelloTag);
}

// The raw comparison is what the engine always accepted (it reads a PIN holding
// a backslash unescaped); the decoded one admits a correctly escaped PIN too.
bool helloCarries(std::string_view line, std::string_view pin) {
    if (pin.empty() || !isHello(line)) return false;
    size_t pos = line.find(kPinKey);
    if (pos == std::string_view::npos) return false;
    pos = skipBlanks(line, pos + kPinKey.size());
    if (pos >= line.size() || line[pos] != '"') return false;
    const size_t close = line.find('"', pos + 1);
    if (close == std::string_view::npos) return false;
    if (line.substr(pos + 1, close - pos - 1) == pin) return true;
    const std::optional<std::string> decoded = jsonStringAt(line, pos);
    return decoded && *decoded == pin;
}

std::optional<int> modeOf(std::string_view line) {
    if (!contains(line, kModeTag)) return std::nullopt;
    size_t pos = line.rfind(kModeKey);
    if (pos == std::string_view::npos) return std::nullopt;
    pos = skipBlanks(line, pos + kModeKey.size());
    if (pos >= line.size()) return std::nullopt;
    const char digit = line[pos];
    if (digit < '0' || digit > '2') return std::nullopt;
    return digit - '0';
}

Reply reply(std::string_view line) {
    if (line == kHelloOk) return Reply::HelloOk;
    if (line == kHelloErr) return Reply::HelloErr;
    return Reply::Other;
}

std::optional<uint64_t> echoedPingId(std::string_view line) {
    if (!line.starts_with(kPingPrefix)) return std::nullopt;
    const std::string rest(line.substr(kPingPrefix.size()));
    return std::strtoull(rest.c_str(), nullptr, 10);
}

}  // namespace ControlLine
