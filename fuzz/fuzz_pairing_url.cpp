// The pairing URL as a QR code or a user hands it to the phone: whatever parses
// keeps its promises and survives a round trip through percent-encoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "pairing_url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view url(reinterpret_cast<const char*>(data), size);
    const std::optional<PairingTarget> target = parsePairingURL(url);
    if (!target) return 0;
    if (target->host.empty() || target->pin.empty() || target->port == 0) std::abort();
    const std::string again = "sonvale://connect?host=" + percentEncode(target->host) +
                              "&port=" + std::to_string(target->port) +
                              "&name=" + percentEncode(target->name) + "&pin=" + percentEncode(target->pin);
    const std::optional<PairingTarget> second = parsePairingURL(again);
    if (!second || second->host != target->host || second->port != target->port ||
        second->name != target->name || second->pin != target->pin) {
        std::abort();
    }
    return 0;
}
