#include "mic_harness.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "net_client.h"
#include "paths.h"

namespace micharness {

std::string micPath() {
    return SONVALE_MIC_PATH;
}

std::optional<std::string> shell(const std::string& command) {
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return std::nullopt;
    std::string out;
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    const int status = pclose(p);
    if (status != 0) return std::nullopt;
    return out;
}

namespace {
// Below the sound server's threads (5) and sonvale-mic's (4).
constexpr int kHelperPriority = 3;

std::string scriptPath(const std::string& name) {
    return testsupport::sourceDir() + "/scripts/test-sound/" + name;
}
}  // namespace

SoundServer::SoundServer(Kind kind) : kind_(kind) {
    char pattern[] = "/tmp/sonvale-sound.XXXXXX";
    if (mkdtemp(pattern) != nullptr) dir_ = pattern;
}

SoundServer::~SoundServer() {
    stop();
    if (!dir_.empty()) shell("rm -rf '" + dir_ + "'");
}

bool SoundServer::start() {
    if (dir_.empty()) return false;
    const std::string script = kind_ == Kind::pulseaudio ? "start-pulseaudio.sh" : "start-pipewire.sh";
    const std::optional<std::string> env = shell(scriptPath(script) + " '" + dir_ + "' 2>&1");
    if (!env) {
        log_ = shell("tail -n 30 '" + dir_ + "'/*.log 2>&1").value_or("");
        return false;
    }
    std::istringstream lines(*env);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
    }
    return true;
}

void SoundServer::stop() {
    if (!dir_.empty()) shell(scriptPath("stop.sh") + " '" + dir_ + "'");
}

bool SoundServer::restart() {
    shell(scriptPath("stop.sh") + " '" + dir_ + "' pulseaudio");
    return start();
}

std::string SoundServer::pactl(const std::string& args) const {
    return shell("pactl " + args + " 2>&1").value_or("");
}

std::optional<std::string> SoundServer::sourceDescription(const std::string& name) const {
    std::istringstream in(pactl("list sources"));
    bool inBlock = false;
    for (std::string line; std::getline(in, line);) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos) continue;
        const std::string text = line.substr(start);
        if (text.rfind("Name: ", 0) == 0) inBlock = text.substr(6) == name;
        if (inBlock && text.rfind("Description: ", 0) == 0) return text.substr(13);
    }
    return std::nullopt;
}

PacedPhone::PacedPhone(std::vector<testsupport::Packet> packets, double rate)
    : packets_(std::move(packets)), rate_(rate), sentAt_(packets_.size()) {}

PacedPhone::~PacedPhone() {
    waitUntilDone();
}

void PacedPhone::start() {
    thread_ = std::thread([this] { run(); });
}

void PacedPhone::waitUntilDone() {
    if (thread_.joinable()) thread_.join();
}

// Deadlines are absolute, so the pace never drifts from the phone's clock. The
// phone is another device: a busy test machine must not disturb its pace, so the
// thread runs at real-time priority where allowed (the sandbox runs as root).
void PacedPhone::run() {
    sched_param param{};
    param.sched_priority = kHelperPriority;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    testsupport::UdpSender udp(kAudioPort);
    const Clock::time_point t0 = Clock::now();
    for (size_t k = 0; k < packets_.size(); ++k) {
        const auto due = t0 + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(0.02 * static_cast<double>(k) / rate_));
        std::this_thread::sleep_until(due);
        udp.send(testsupport::makeDatagram(static_cast<uint32_t>(k), packets_[k]));
        sentAt_[k] = Clock::now();
    }
}

Clock::time_point PacedPhone::sentAt(size_t index) const {
    return sentAt_.at(index);
}

std::chrono::duration<double> PacedPhone::duration() const {
    return std::chrono::duration<double>(0.02 * static_cast<double>(packets_.size()) / rate_);
}

std::vector<testsupport::Packet> phoneSignal(int silenceCount, int toneCount) {
    std::vector<testsupport::Packet> packets =
        silenceCount > 0 ? testsupport::encodeTestSignal(silenceCount, kLeftHz, kRightHz, 0.0f)
                         : std::vector<testsupport::Packet>{};
    const std::vector<testsupport::Packet> tone =
        testsupport::encodeTestSignal(toneCount, kLeftHz, kRightHz, static_cast<float>(kAmplitude));
    packets.insert(packets.end(), tone.begin(), tone.end());
    return packets;
}

Recorder::Recorder(int latencyMs, const std::string& device) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    // Like the phone, the recording program is not what is under test: it runs at
    // real-time priority so that a busy machine does not make it lose audio.
    const std::string latency = "--latency-msec=" + std::to_string(latencyMs);
    const std::string priority = std::to_string(kHelperPriority);
    const char* argv[] = {"chrt",         "--rr",         priority.c_str(), "parecord",
                          "-d",           device.c_str(), "--raw",          "--format=float32le",
                          "--rate=48000", "--channels=2", latency.c_str(),  nullptr};
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        execvp("chrt", const_cast<char* const*>(argv));
        _exit(127);
    }
    close(out[1]);
    fd_ = out[0];
    reader_ = std::thread([this] { readLoop(); });
}

Recorder::~Recorder() {
    stop();
}

void Recorder::readLoop() {
    std::vector<uint8_t> buf(65536);
    for (;;) {
        const ssize_t n = read(fd_, buf.data(), buf.size());
        if (n <= 0) break;
        const Clock::time_point now = Clock::now();
        std::lock_guard lock(mutex_);
        bytes_.insert(bytes_.end(), buf.begin(), buf.begin() + n);
        arrivals_.emplace_back(bytes_.size(), now);
    }
}

bool Recorder::waitForFrames(size_t frames, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        {
            std::lock_guard lock(mutex_);
            if (bytes_.size() >= frames * 8) return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

void Recorder::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGINT);
    int status = 0;
    for (int i = 0; i < 300 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(10ms);
    if (waitpid(pid_, &status, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    if (reader_.joinable()) reader_.join();
    close(fd_);
    fd_ = -1;
    std::lock_guard lock(mutex_);
    samples_.resize(bytes_.size() / 8 * 2);
    std::memcpy(samples_.data(), bytes_.data(), samples_.size() * sizeof(float));
}

Clock::time_point Recorder::arrivalOf(size_t frame) const {
    const size_t end = (frame + 1) * 8;
    std::lock_guard lock(mutex_);
    for (const auto& [bytes, time] : arrivals_) {
        if (bytes >= end) return time;
    }
    return arrivals_.empty() ? Clock::time_point{} : arrivals_.back().second;
}

std::optional<size_t> firstLoudFrame(const std::vector<float>& x, int channel, size_t from, float threshold) {
    for (size_t i = from; 2 * i + 1 < x.size(); ++i) {
        if (std::abs(x[2 * i + static_cast<size_t>(channel)]) >= threshold) return i;
    }
    return std::nullopt;
}

double rms(const std::vector<float>& x, int channel, size_t from, size_t count) {
    double sum = 0;
    size_t n = 0;
    for (size_t i = from; i < from + count && 2 * i + 1 < x.size(); ++i, ++n) {
        const double v = x[2 * i + static_cast<size_t>(channel)];
        sum += v * v;
    }
    return n == 0 ? 0 : std::sqrt(sum / static_cast<double>(n));
}

// Rising zero crossings, placed between samples by linear interpolation.
double frequency(const std::vector<float>& x, int channel, size_t from, size_t count) {
    double first = -1, last = -1;
    int crossings = 0;
    for (size_t i = from + 1; i < from + count && 2 * i + 1 < x.size(); ++i) {
        const double a = x[2 * (i - 1) + static_cast<size_t>(channel)];
        const double b = x[2 * i + static_cast<size_t>(channel)];
        if (a < 0 && b >= 0) {
            const double at = static_cast<double>(i - 1) + a / (a - b);
            if (first < 0) first = at;
            last = at;
            ++crossings;
        }
    }
    if (crossings < 2) return 0;
    return (crossings - 1) * 48000.0 / (last - first);
}

namespace {
struct QuietRun {
    size_t length = 0;
    size_t end = 0;
};
QuietRun findLongestQuiet(const std::vector<float>& x, int channel, size_t from, size_t to, float threshold) {
    QuietRun best, current;
    to = std::min(to, x.size() / 2);
    for (size_t w = from; w + 480 <= to; w += 480) {
        float peak = 0;
        for (size_t i = w; i < w + 480; ++i)
            peak = std::max(peak, std::abs(x[2 * i + static_cast<size_t>(channel)]));
        if (peak < threshold) {
            current.length += 480;
            current.end = w + 480;
            if (current.length > best.length) best = current;
        } else {
            current = QuietRun{};
        }
    }
    return best;
}
}  // namespace

size_t longestQuiet(const std::vector<float>& x, int channel, size_t from, size_t to, float threshold) {
    return findLongestQuiet(x, channel, from, to, threshold).length;
}

size_t endOfLongestQuiet(const std::vector<float>& x, int channel, size_t from, size_t to, float threshold) {
    return findLongestQuiet(x, channel, from, to, threshold).end;
}

std::optional<MicStatusLine> parseStatus(const std::string& line) {
    MicStatusLine s;
    double dropped = 0;
    if (std::sscanf(line.c_str(),
                    "[mic] held back %lf ms (target %*f ms), corrections %llu (%lf ms dropped), rate %lf %%, "
                    "underruns %llu, server gaps %llu",
                    &s.heldMs, &s.corrections, &dropped, &s.ratePercent, &s.underruns, &s.serverGaps) != 6) {
        return std::nullopt;
    }
    return s;
}

// ChildProcess reads one piece per call: read until nothing more comes.
void drainOutput(testsupport::ChildProcess& p) {
    for (size_t before = SIZE_MAX; before != p.out().size();)
        before = p.out().size();
}

std::vector<MicStatusLine> statusLines(testsupport::ChildProcess& mic) {
    drainOutput(mic);
    std::vector<MicStatusLine> lines;
    for (const std::string& line : mic.outLines()) {
        if (std::optional<MicStatusLine> s = parseStatus(line)) lines.push_back(*s);
    }
    return lines;
}

size_t countOf(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++n;
    return n;
}

bool waitForOutput(testsupport::ChildProcess& p, const std::string& text, std::chrono::milliseconds timeout,
                   size_t count) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        drainOutput(p);
        if (countOf(p.out(), text) >= count) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

}  // namespace micharness
