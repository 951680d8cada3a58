#pragma once

// What the microphone's end-to-end tests run: a private sound server, a phone
// that paces real Opus datagrams at its own clock rate, and parecord recording
// the device with the time each piece of audio reached it.
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "opus_stream.h"

namespace micharness {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline constexpr uint16_t kAudioPort = 47810;
inline constexpr const char* kEngineReady = "[engine] Pipeline ready. Entering main loop.";

std::string micPath();

// Runs a shell command with the test's environment; its standard output, or
// nullopt when it failed.
std::optional<std::string> shell(const std::string& command);

// A PulseAudio or PipeWire of the test's own, started by scripts/test-sound.
// Its client variables are set in this process, so every child finds it.
class SoundServer {
public:
    enum class Kind { pulseaudio, pipewire };
    explicit SoundServer(Kind kind);
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    bool start();
    void stop();
    // PulseAudio only: stops the server and starts it again on the same socket.
    bool restart();
    std::string pactl(const std::string& args) const;
    // The description of the source with this name, or nullopt when there is none.
    std::optional<std::string> sourceDescription(const std::string& name) const;
    const std::string& log() const { return log_; }

private:
    Kind kind_;
    std::string dir_;
    std::string log_;
};

// The phone: sends packets[k] with sequence number k at k × 20 ms of its own
// clock, which runs `rate` times as fast as ours. Sending goes on while the
// engine is away (the datagrams are lost, as on a network).
class PacedPhone {
public:
    PacedPhone(std::vector<testsupport::Packet> packets, double rate);
    ~PacedPhone();
    PacedPhone(const PacedPhone&) = delete;
    PacedPhone& operator=(const PacedPhone&) = delete;

    void start();
    void waitUntilDone();
    Clock::time_point sentAt(size_t index) const;
    std::chrono::duration<double> duration() const;

private:
    void run();

    std::vector<testsupport::Packet> packets_;
    double rate_;
    std::vector<Clock::time_point> sentAt_;
    std::thread thread_;
};

// Tone and silence packets for the phone: silenceCount packets of silence, then
// toneCount of 1000 Hz left and 1500 Hz right at amplitude 0.5.
std::vector<testsupport::Packet> phoneSignal(int silenceCount, int toneCount);
inline constexpr double kLeftHz = 1000, kRightHz = 1500, kAmplitude = 0.5;
// The bridge follows the sound server's clock by resampling (at most 1 %), and a
// loaded server's clock drifts from the system's: a recorded tone may sit that far
// off in recorded samples and still be the tone that was sent.
inline constexpr double kClockTolerance = 0.015;

// parecord on the device, float32 stereo 48 kHz, read as it arrives.
class Recorder {
public:
    explicit Recorder(int latencyMs, const std::string& device = "SonvaleDevice_UID");
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    bool started() const { return pid_ > 0; }
    // Waits until audio flows (the stream is running).
    bool waitForFrames(size_t frames, std::chrono::milliseconds timeout);
    void stop();

    // After stop(): the recording, interleaved stereo.
    const std::vector<float>& samples() const { return samples_; }
    size_t frames() const { return samples_.size() / 2; }
    // When the frame had reached the test (the read that delivered it).
    Clock::time_point arrivalOf(size_t frame) const;

private:
    void readLoop();

    pid_t pid_ = -1;
    int fd_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::vector<uint8_t> bytes_;
    std::vector<std::pair<size_t, Clock::time_point>> arrivals_;  // bytes so far, time
    std::vector<float> samples_;
};

// Signal checks on interleaved stereo float frames, channel 0 or 1.
std::optional<size_t> firstLoudFrame(const std::vector<float>& x, int channel, size_t from, float threshold);
double rms(const std::vector<float>& x, int channel, size_t from, size_t count);
double frequency(const std::vector<float>& x, int channel, size_t from, size_t count);
// The longest run of quiet 10 ms windows (peak below threshold) in [from, to), in frames.
size_t longestQuiet(const std::vector<float>& x, int channel, size_t from, size_t to, float threshold);
// Where that longest quiet run ends (the first frame of the window after it).
size_t endOfLongestQuiet(const std::vector<float>& x, int channel, size_t from, size_t to, float threshold);

// One "[mic] held back ..." status line.
struct MicStatusLine {
    double heldMs = 0;
    unsigned long long corrections = 0;
    double ratePercent = 0;
    unsigned long long underruns = 0;
    unsigned long long serverGaps = 0;
};
std::optional<MicStatusLine> parseStatus(const std::string& line);
std::vector<MicStatusLine> statusLines(testsupport::ChildProcess& mic);
void drainOutput(testsupport::ChildProcess& p);

// Waits until the process's standard output contains text count times.
bool waitForOutput(testsupport::ChildProcess& p, const std::string& text, std::chrono::milliseconds timeout,
                   size_t count = 1);
size_t countOf(const std::string& haystack, const std::string& needle);

}  // namespace micharness
