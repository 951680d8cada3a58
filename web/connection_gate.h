#pragma once

#include <cstdint>
#include <unordered_map>

// Counts the gateway's open connections, per IPv4 address and in all, so that
// no one address and no crowd can take every descriptor.
// - admit() takes a slot, or refuses (and counts the refusal) when the address
//   already holds kPerAddress or the gateway kTotal;
// - release() gives back a slot admit() took: exactly once per admitted
//   connection; releasing an address that holds none is a caller's bug.
// Main thread only.
class ConnectionGate {
public:
    static constexpr int kPerAddress = 16;
    static constexpr int kTotal = 256;

    bool admit(uint32_t address);
    void release(uint32_t address);

    int open() const { return total_; }
    // Connections released since the gateway started.
    uint64_t released() const { return released_; }
    // The refusals since the last call.
    int takeRefused();

private:
    std::unordered_map<uint32_t, int> perAddress_;
    int total_ = 0;
    int refused_ = 0;
    uint64_t released_ = 0;
};
