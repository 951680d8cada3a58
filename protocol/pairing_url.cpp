#include "pairing_url.h"

#include <charconv>

#include "sonvale_protocol.h"

namespace {

constexpr std::string_view kPrefix = "sonvale://connect?";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool hasControlByte(std::string_view s) {
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return true;
    }
    return false;
}

// Host and PIN travel into a connect call and a quoted JSON string: nothing that
// could end the string or the line.
bool isPlainToken(std::string_view s) {
    if (s.empty() || hasControlByte(s)) return false;
    for (char c : s) {
        if (c == ' ' || c == '"' || c == '\\') return false;
    }
    return true;
}

bool isValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t extra = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1Fu;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0Fu;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07u;
        } else {
            return false;
        }
        if (s.size() - i <= extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3Fu);
        }
        // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
        static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

std::optional<uint16_t> parsePort(std::string_view s) {
    if (s.empty() || s.size() > 5) return std::nullopt;
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    if (value == 0 || value > 65535) return std::nullopt;
    return static_cast<uint16_t>(value);
}

}  // namespace

std::string percentEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

std::string makePairingURL(std::string_view host, uint16_t port, std::string_view name,
                           std::string_view pin) {
    std::string url(kPrefix);
    url.append("host=").append(host);
    url.append("&port=").append(std::to_string(port));
    url.append("&name=").append(percentEncode(name));
    url.append("&pin=").append(pin);
    return url;
}

std::string makeBrowserURL(std::string_view host, std::string_view pin) {
    std::string url("https://");
    url.append(host).append(":").append(std::to_string(sonvale::kWebPort));
    url.append("/#pin=").append(pin);
    return url;
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (text.size() - i < 3) return std::nullopt;
        const int hi = hexValue(text[i + 1]);
        const int lo = hexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return out;
}

std::optional<PairingTarget> parsePairingURL(std::string_view url) {
    if (url.size() < kPrefix.size() || !equalsIgnoringCase(url.substr(0, kPrefix.size()), kPrefix)) {
        return std::nullopt;
    }
    std::string_view query = url.substr(kPrefix.size());
    if (query.find('#') != std::string_view::npos) return std::nullopt;

    std::optional<std::string> host, port, name, pin;
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
        if (pair.empty()) continue;

        const size_t eq = pair.find('=');
        const std::string_view key = pair.substr(0, eq);
        const std::string_view raw = eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1);
        std::optional<std::string>* slot = key == "host"   ? &host
                                           : key == "port" ? &port
                                           : key == "name" ? &name
                                           : key == "pin"  ? &pin
                                                           : nullptr;
        std::optional<std::string> value = percentDecode(raw);
        if (!value) return std::nullopt;
        if (slot == nullptr) continue;
        if (slot->has_value()) return std::nullopt;
        *slot = std::move(*value);
    }

    if (!host || !port || !pin) return std::nullopt;
    if (!isPlainToken(*host) || !isPlainToken(*pin)) return std::nullopt;
    const std::optional<uint16_t> portNumber = parsePort(*port);
    if (!portNumber) return std::nullopt;
    std::string displayName = name.value_or(std::string{});
    if (hasControlByte(displayName) || !isValidUtf8(displayName)) return std::nullopt;

    return PairingTarget{std::move(*host), *portNumber, std::move(displayName), std::move(*pin)};
}
