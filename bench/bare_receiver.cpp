#include "bare_receiver.h"

#include <netinet/in.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "audio_packet.h"
#include "engine_run.h"

namespace {
constexpr size_t kRingFloats = 48000 * 2;
constexpr size_t kPacketFloats = BareDecoder::kFrames * 2;
}  // namespace

BareReceiver::BareReceiver() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port_ = ntohs(addr.sin_port);
    }
    thread_ = std::thread([this] { run(); });
}

BareReceiver::~BareReceiver() {
    running_ = false;
    thread_.join();
    if (fd_ >= 0) close(fd_);
}

int64_t BareReceiver::cpuNs() const {
    clockid_t clock{};
    timespec ts{};
    if (pthread_getcpuclockid(const_cast<std::thread&>(thread_).native_handle(), &clock) != 0 ||
        clock_gettime(clock, &ts) != 0) {
        return -1;
    }
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

long BareReceiver::wakeups() const {
    return procStatusField("self/task/" + std::to_string(tid_.load()), "voluntary_ctxt_switches");
}

void BareReceiver::run() {
    tid_ = static_cast<long>(gettid());
    std::vector<uint8_t> datagram(2048);
    std::vector<float> ring(kRingFloats);
    uint64_t written = 0;
    while (running_.load(std::memory_order_relaxed)) {
        fd_set read;
        FD_ZERO(&read);
        FD_SET(fd_, &read);
        timeval wait{0, 20000};
        if (select(fd_ + 1, &read, nullptr, nullptr, &wait) <= 0) continue;
        const ssize_t n = recv(fd_, datagram.data(), datagram.size(), 0);
        if (n < static_cast<ssize_t>(AudioPacket::kHeaderSize)) continue;
        const uint8_t* payload = datagram.data() + AudioPacket::kHeaderSize;
        if (decoder_.decode(payload, static_cast<size_t>(n) - AudioPacket::kHeaderSize) <= 0) continue;
        std::memcpy(&ring[(written % 48000) * 2], decoder_.pcm(), kPacketFloats * sizeof(float));
        written += BareDecoder::kFrames;
        frames_.store(written, std::memory_order_release);
    }
}
