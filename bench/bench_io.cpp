#include "bench_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <opus.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <numbers>
#include <thread>

#include "audio_packet.h"

namespace benchio {

using Clock = std::chrono::steady_clock;

namespace {
sockaddr_in loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}
}  // namespace

Child::Child(const std::string& program, const std::vector<std::string>& args, const std::string& input) {
    int out[2];
    int in[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (pipe2(in, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return;
    }
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    // The read end is still open here: the write never raises SIGPIPE.
    [[maybe_unused]] const ssize_t written = write(in[1], input.data(), input.size());
    close(in[0]);
    close(in[1]);
    close(out[1]);
    fd_ = out[0];
}

Child::~Child() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
}

bool Child::pump(int timeoutMs) {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return true;
    char buf[4096];
    const ssize_t n = read(fd_, buf, sizeof buf);
    if (n > 0) {
        output_.append(buf, static_cast<size_t>(n));
        return true;
    }
    close(fd_);
    fd_ = -1;
    return false;
}

void Child::signal(int sig) {
    if (pid_ > 0 && !status_) kill(pid_, sig);
}

std::optional<int> Child::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!status_) {
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        } else if (Clock::now() >= deadline) {
            return std::nullopt;
        } else if (!pump(5)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    while (pump(100)) {
    }
    return status_;
}

LineSocket::~LineSocket() {
    if (fd_ >= 0) close(fd_);
}

LineSocket::LineSocket(LineSocket&& other) noexcept : fd_(other.fd_), pending_(std::move(other.pending_)) {
    other.fd_ = -1;
}

bool LineSocket::connect(uint16_t port, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    const sockaddr_in addr = loopback(port);
    for (;;) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return true;
        close(fd_);
        fd_ = -1;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool LineSocket::send(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::optional<std::string> LineSocket::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const size_t lf = pending_.find('\n');
        if (lf != std::string::npos) {
            std::string line = pending_.substr(0, lf);
            pending_.erase(0, lf + 1);
            return line;
        }
        pollfd p{fd_, POLLIN, 0};
        if (fd_ < 0 || ::poll(&p, 1, msLeft(deadline)) <= 0) return std::nullopt;
        char buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return std::nullopt;
        pending_.append(buf, static_cast<size_t>(n));
    }
}

DatagramSender::DatagramSender(uint16_t port)
    : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), port_(port) {}

DatagramSender::~DatagramSender() {
    if (fd_ >= 0) close(fd_);
}

bool DatagramSender::send(const Bytes& datagram) {
    const sockaddr_in addr = loopback(port_);
    return ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&addr),
                    sizeof addr) == static_cast<ssize_t>(datagram.size());
}

std::vector<Bytes> encodeTone(int count) {
    constexpr int kRate = 48000;
    constexpr int kFrames = 960;
    int error = 0;
    OpusEncoder* enc = opus_encoder_create(kRate, 2, OPUS_APPLICATION_AUDIO, &error);
    opus_encoder_ctl(enc, OPUS_SET_BITRATE(96000));
    std::vector<Bytes> packets;
    std::vector<float> pcm(2 * kFrames);
    for (int p = 0; p < count; ++p) {
        for (size_t i = 0; i < kFrames; ++i) {
            const double t = static_cast<double>(static_cast<size_t>(p) * kFrames + i) / kRate;
            pcm[2 * i] = 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * 440 * t));
            pcm[2 * i + 1] = 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * 660 * t));
        }
        Bytes out(1500);
        const int n =
            opus_encode_float(enc, pcm.data(), kFrames, out.data(), static_cast<opus_int32>(out.size()));
        out.resize(n > 0 ? static_cast<size_t>(n) : 0);
        packets.push_back(std::move(out));
    }
    opus_encoder_destroy(enc);
    return packets;
}

Bytes datagram(uint32_t sequence, const Bytes& payload) {
    AudioPacketHeader h{};
    h.magic = AudioPacket::kMagic;
    h.sequence = sequence;
    h.payloadLength = static_cast<uint16_t>(payload.size());
    return AudioPacket::encode(h, payload.data(), payload.size());
}

}  // namespace benchio
