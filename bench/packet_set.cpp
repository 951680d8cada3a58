#include "packet_set.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tone_packets.h"

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<PacketSet::Payload> fromHex(const std::string& hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    PacketSet::Payload bytes(hex.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int hi = hexDigit(hex[2 * i]);
        const int lo = hexDigit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return bytes;
}

}  // namespace

std::optional<PacketSet> PacketSet::fromDump(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = path + ": cannot be read";
        return std::nullopt;
    }
    PacketSet set;
    set.origin_ =
        "the datagrams sonvale-phone sent (" + std::filesystem::path(path).filename().string() + ")";
    int lineNumber = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNumber;
        std::istringstream words(line);
        std::string kind;
        std::string sequence;
        std::string hex;
        words >> kind >> sequence >> hex;
        if (kind != "sent") continue;
        std::optional<Payload> payload = fromHex(hex);
        if (!payload) {
            error = path + ":" + std::to_string(lineNumber) + ": malformed payload";
            return std::nullopt;
        }
        set.payloads_.push_back(std::move(*payload));
    }
    if (set.payloads_.empty()) {
        error = path + ": no sent packet in the dump";
        return std::nullopt;
    }
    return set;
}

PacketSet PacketSet::encodedTone(int count) {
    PacketSet set;
    set.payloads_ = devkit::encodeTestSignal(count);
    set.origin_ = "440/660 Hz stereo tone encoded with libopus at 96 kbit/s (no sonvale-phone dump given)";
    return set;
}

std::optional<PacketSet> PacketSet::load(const std::string& path, std::string& error) {
    if (path.empty()) return encodedTone(500);
    return fromDump(path, error);
}

double PacketSet::meanBytes() const {
    double total = 0;
    for (const Payload& p : payloads_)
        total += static_cast<double>(p.size());
    return payloads_.empty() ? 0 : total / static_cast<double>(payloads_.size());
}

bool PacketSet::writeDump(const std::string& path) const {
    static constexpr char kHex[] = "0123456789abcdef";
    std::ofstream out(path);
    out << "# sonvale-phone packet dump 1\n";
    for (size_t i = 0; i < payloads_.size(); ++i) {
        std::string hex;
        for (const uint8_t b : payloads_[i]) {
            hex += kHex[b >> 4];
            hex += kHex[b & 0x0F];
        }
        out << "sent " << i << " " << hex << "\n";
    }
    return static_cast<bool>(out);
}
