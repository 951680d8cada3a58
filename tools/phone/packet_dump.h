#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Writes the packet sequence exactly as it went onto the wire, for a check that
// decodes it independently. Text, one line per event, in send order:
//
//   # sonvale-phone packet dump 1
//   sent <sequence> <payload as lowercase hex>   a datagram left (a duplicate is a second line)
//   lost <sequence>                              the simulated network dropped this packet
//
// A lost packet appears where it would have been sent. Sequence numbers are decimal.
class PacketDump {
public:
    PacketDump() = default;
    ~PacketDump();
    PacketDump(const PacketDump&) = delete;
    PacketDump& operator=(const PacketDump&) = delete;

    bool open(const std::string& path, std::string& error);
    bool isOpen() const { return file_ != nullptr; }
    void sent(uint32_t sequence, const uint8_t* payload, size_t length);
    void lost(uint32_t sequence);
    // Flushes and closes; false (with error) when anything failed to reach the file.
    bool close(std::string& error);

private:
    std::FILE* file_ = nullptr;
    std::string path_;
};
