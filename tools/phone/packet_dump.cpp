#include "packet_dump.h"

#include <cerrno>
#include <cstring>

PacketDump::~PacketDump() {
    if (file_ != nullptr) std::fclose(file_);
}

bool PacketDump::open(const std::string& path, std::string& error) {
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    std::fputs("# sonvale-phone packet dump 1\n", file_);
    return true;
}

void PacketDump::sent(uint32_t sequence, const uint8_t* payload, size_t length) {
    if (file_ == nullptr) return;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string line = "sent " + std::to_string(sequence) + " ";
    line.reserve(line.size() + 2 * length + 1);
    for (size_t i = 0; i < length; ++i) {
        line.push_back(kHex[payload[i] >> 4]);
        line.push_back(kHex[payload[i] & 0x0F]);
    }
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), file_);
}

void PacketDump::lost(uint32_t sequence) {
    if (file_ != nullptr) std::fprintf(file_, "lost %u\n", sequence);
}

bool PacketDump::close(std::string& error) {
    if (file_ == nullptr) return true;
    const bool failed = std::ferror(file_) != 0;
    const bool closeFailed = std::fclose(file_) != 0;
    file_ = nullptr;
    if (failed || closeFailed) {
        error = path_ + ": writing the packet dump failed";
        return false;
    }
    return true;
}
