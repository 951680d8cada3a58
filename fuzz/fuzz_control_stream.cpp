// A control connection's byte stream: framing, CR handling, the ping/hello/mode
// rules and the PIN check, with the properties every line must keep.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "control_line.h"
#include "control_server.h"
#include "line_framer.h"

namespace {
constexpr std::string_view kPins[] = {"", "1234", "0", "\"", "12 34"};
constexpr size_t kLimit = 4096;  // small, so the fuzzer reaches the limit
}  // namespace

// First byte: the PIN and whether the connection is authenticated. The rest is
// the stream, delivered in chunks that end at each 0xFF byte.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view pin = kPins[data[0] % std::size(kPins)];
    const bool authed = (data[0] & 0x80) != 0;
    LineFramer framer(kLimit);
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    size_t left = size - 1;
    while (left > 0) {
        const void* cut = std::memchr(bytes, 0xFF, left);
        const size_t chunk =
            cut != nullptr ? static_cast<size_t>(static_cast<const char*>(cut) - bytes) + 1 : left;
        const bool withinLimit = framer.append(bytes, chunk);
        if (withinLimit != (framer.buffered() <= kLimit)) std::abort();
        if (!withinLimit) return 0;  // the server closes the connection here
        bytes += chunk;
        left -= chunk;
        while (std::optional<std::string> line = framer.next()) {
            if (line->empty() || line->find('\n') != std::string::npos) std::abort();
            const ControlServer::Action action = ControlServer::decide(*line, pin, authed);
            const bool hello = ControlLine::helloCarries(*line, pin);
            // Only an escaped PIN may be absent from the line as it is.
            if (hello && (pin.empty() ||
                          (line->find(pin) == std::string::npos && line->find('\\') == std::string::npos)))
                std::abort();
            if (action == ControlServer::Action::Echo && line->find("\"t\":\"ping\"") == std::string::npos)
                std::abort();
            if (action == ControlServer::Action::HelloOk && !pin.empty() && !hello) std::abort();
            if (action == ControlServer::Action::Queue && !pin.empty() && !authed) std::abort();
            if (std::optional<int> mode = ControlLine::modeOf(*line)) {
                if (*mode < 0 || *mode > 2 || line->find("\"t\":\"mode\"") == std::string::npos) std::abort();
            }
        }
        if (framer.buffered() > kLimit) std::abort();
    }
    return 0;
}
