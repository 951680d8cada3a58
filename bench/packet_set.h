#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The Opus payloads that every benchmark feeds through the pipeline, in send order:
// the packets that sonvale-phone put on the wire (its --dump-packets file), or,
// without such a file, a stereo tone encoded here with the libopus encoder.
class PacketSet {
public:
    using Payload = std::vector<uint8_t>;

    // Reads a sonvale-phone packet dump ("sent <seq> <hex>" lines; lost and
    // comment lines are skipped). Nullopt with error filled when it holds no packet.
    static std::optional<PacketSet> fromDump(const std::string& path, std::string& error);
    // count packets of a 440/660 Hz tone, 96 kbit/s.
    static PacketSet encodedTone(int count);
    // fromDump when path is not empty, encodedTone(500) otherwise.
    static std::optional<PacketSet> load(const std::string& path, std::string& error);

    const std::vector<Payload>& payloads() const { return payloads_; }
    const Payload& operator[](size_t i) const { return payloads_[i % payloads_.size()]; }
    size_t size() const { return payloads_.size(); }
    double meanBytes() const;
    // Writes the packets in the dump format that fromDump reads.
    bool writeDump(const std::string& path) const;
    // Where the packets came from, for the report.
    const std::string& origin() const { return origin_; }

private:
    std::vector<Payload> payloads_;
    std::string origin_;
};
