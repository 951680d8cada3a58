// The microphone's feed (latency control, resampler, cross-fade) against
// simulated clocks: a phone whose clock runs at senderRate times the sound
// server's, an engine that writes whole 20 ms packets (its jitter buffer
// releasing the first four at once) and a server asking for fixed-size requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <numbers>
#include <utility>
#include <vector>

#include "device_modules.h"
#include "fifo_pacer.h"
#include "mic_feed.h"
#include "sonvale_protocol.h"

namespace {

constexpr double kRate = 48000;
constexpr size_t kPacket = 960;

// The shared ring's reading rules, in memory: a reader lapped by the writer
// loses the oldest frames.
class SimulatedRing : public FrameSource {
public:
    void write(const std::vector<float>& frames) {
        frames_.insert(frames_.end(), frames.begin(), frames.end());
        if (frames_.size() > 2 * 48000) frames_.erase(frames_.begin(), frames_.end() - 2 * 48000);
    }
    uint64_t held() const override { return frames_.size() / 2; }
    size_t read(float* out, size_t count) override {
        const size_t n = std::min(count, frames_.size() / 2);
        std::fill(std::copy_n(frames_.begin(), 2 * n, out), out + 2 * count, 0.0f);
        frames_.erase(frames_.begin(), frames_.begin() + static_cast<long>(2 * n));
        return n;
    }

private:
    std::deque<float> frames_;
};

struct Scenario {
    const char* name;
    double senderRate = 1.0;
    double seconds = 20;
    double targetMs = 40;
    size_t request = 480;
    double stallFrom = -1, stallUntil = -1;  // packets sent in between arrive together at the end
    double pauseFrom = -1, pauseUntil = -1;  // the phone sends nothing in between
    double openAt = 0;                       // a recording program opens the microphone
    // Expectations.
    uint64_t corrections = 0;  // the jitter buffer's first release is skipped at the start, no cut
    double ratio = 0;          // the ratio learnt: 0 the sender's clock, -1 none (too short a run)
    uint64_t underruns = 0;
    size_t settledFrom = 2;      // from this second on the held-back time is within 6 ms of the target
    double speedChange = 0.001;  // the largest the ratio may move from 1: inaudible
    friend void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }
};

struct SimRun {
    std::vector<float> left;
    std::vector<double> heldMs;     // mean held-back time per simulated second
    double ratio = 1;               // the mean over the last third
    double largestSpeedChange = 0;  // of the ratio from 1, once playing
    uint64_t corrections = 0, underruns = 0;
};

SimRun simulate(const Scenario& s) {
    LatencyConfig config;
    config.targetMs = s.targetMs;
    SimulatedRing ring;
    MicFeed feed(ring, config);
    SimRun run;
    std::vector<double> ratios;
    std::vector<float> out(2 * s.request);
    std::vector<std::vector<float>> prebuffer;
    uint64_t next = 0;
    bool released = false;
    const double step = static_cast<double>(s.request) / kRate;
    const auto sentAt = [&](uint64_t k) { return static_cast<double>(k) * 0.02 / s.senderRate; };
    const auto arrival = [&](uint64_t k) {
        if (sentAt(k) >= s.stallFrom && sentAt(k) < s.stallUntil) return s.stallUntil;
        // Up to ±2 ms of network jitter, the same on every run.
        return sentAt(k) + (static_cast<double>((k * 2654435761u) % 1000) / 500.0 - 1) * 0.002;
    };
    for (double t = 0, second = 1; t < s.seconds; t += step) {
        for (; arrival(next) <= t; ++next) {
            if (sentAt(next) >= s.pauseFrom && sentAt(next) < s.pauseUntil) {
                released = false;  // after a pause the engine trickles packets out again
                continue;
            }
            std::vector<float> pcm(2 * kPacket);
            for (size_t i = 0; i < kPacket; ++i)
                pcm[2 * i] = pcm[2 * i + 1] =
                    0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * 1000 *
                                                       static_cast<double>(next * kPacket + i) / kRate));
            prebuffer.push_back(std::move(pcm));
            if (!released && prebuffer.size() < 4 && next < 3) continue;
            for (const auto& p : prebuffer)
                ring.write(p);
            prebuffer.clear();
            released = true;
        }
        if (t < s.openAt) {
            second = std::ceil(t + step);
            continue;
        }
        feed.fill(out.data(), s.request);
        for (size_t i = 0; i < s.request; ++i)
            run.left.push_back(out[2 * i]);
        run.largestSpeedChange = std::max(run.largestSpeedChange, std::abs(feed.control().ratio() - 1));
        if (t + step >= second) {
            run.heldMs.push_back(feed.control().takeMeanHeldMs());
            ratios.push_back(feed.control().ratio());
            second += 1;
        }
    }
    const size_t from = ratios.size() * 2 / 3;
    for (size_t i = from; i < ratios.size(); ++i)
        run.ratio += (ratios[i] - 1) / static_cast<double>(ratios.size() - from);
    run.corrections = feed.control().corrections();
    run.underruns = feed.control().underruns();
    return run;
}

class Feed : public ::testing::TestWithParam<Scenario> {};

TEST_P(Feed, HoldsTheTargetWithoutJumpsOrDropouts) {
    const Scenario& s = GetParam();
    const SimRun run = simulate(s);
    EXPECT_EQ(std::pair(run.corrections, run.underruns), std::pair(s.corrections, s.underruns));
    EXPECT_LE(run.largestSpeedChange, s.speedChange + 1e-12);
    for (size_t second = 1; second < run.heldMs.size(); ++second) {
        EXPECT_LT(run.heldMs[second], s.targetMs + 50) << "second " << second;
        if (second >= s.settledFrom) {
            EXPECT_NEAR(run.heldMs[second], s.targetMs, 6) << "second " << second;
        }
    }
    if (s.ratio >= 0) {
        EXPECT_NEAR(run.ratio, s.ratio == 0 ? s.senderRate : s.ratio, s.ratio == 0 ? 0.0005 : 0.001);
    }
    // Past the start, every 10 ms holds the tone (peak 0.5) without a step larger
    // than its own (0.066): no dropout, no jump, cuts cross-faded. Only while the
    // phone is paused or stalled is there silence.
    const auto inside = [](double t, double from, double until) { return t >= from && t < until; };
    for (size_t w = 14400; w + 480 <= run.left.size(); w += 480) {
        const double t = static_cast<double>(w) / kRate;
        float peak = 0, step = 0;
        for (size_t i = w; i < w + 480; ++i) {
            peak = std::max(peak, std::abs(run.left[i]));
            step = std::max(step, std::abs(run.left[i] - run.left[i - 1]));
        }
        if (inside(t, s.pauseFrom + 0.2, s.pauseUntil)) {
            ASSERT_EQ(peak, 0.0f) << "sound while paused at " << t << " s";
        } else if (!inside(t, s.pauseFrom, s.pauseUntil + 0.2) &&
                   !inside(t, s.stallFrom, s.stallUntil + 0.02)) {
            ASSERT_GT(peak, 0.45f) << "dropout at " << t << " s";
            ASSERT_LT(step, 0.07f) << "jump at " << t << " s";
        }
    }
}

// Each row: a sender, what it does, and what the feed must count.
// clang-format off
const Scenario kSenders[] = {
    {.name = "Steady"},
    {.name = "ClockFast", .senderRate = 1.0005, .seconds = 60, .settledFrom = 10},
    {.name = "ClockSlow", .senderRate = 0.9995, .seconds = 60, .settledFrom = 10},
    {.name = "SmallTargetSmallRequests", .senderRate = 0.9995, .seconds = 30, .targetMs = 20, .request = 128, .settledFrom = 10},
    // Audio found again after a pause starts at the newest frames: no burst to drop.
    {.name = "StallThenBurst", .seconds = 16, .stallFrom = 10, .stallUntil = 10.3, .ratio = -1, .underruns = 1, .settledFrom = 11},
    {.name = "PhonePaused", .seconds = 12, .pauseFrom = 5, .pauseUntil = 7, .ratio = -1, .underruns = 1, .settledFrom = 9},
    // Beyond the resampling limit cross-faded drops, each of about 30 ms, bound the delay.
    // A full ring's backlog is cut in silence before the first sound: no speed-up to work it off.
    {.name = "OpenedMidStreamEarlyInAPacket", .seconds = 26, .openAt = 20.002, .ratio = -1, .settledFrom = 1, .speedChange = 0.0002},
    {.name = "OpenedMidStreamLateInAPacket", .seconds = 26, .openAt = 20.016, .ratio = -1, .settledFrom = 1, .speedChange = 0.0002},
    {.name = "ClockBeyondTheLimit", .senderRate = 1.005, .seconds = 30, .corrections = 4, .ratio = 1.001, .settledFrom = 99},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Senders, Feed, ::testing::ValuesIn(kSenders),
                         [](const auto& p) { return std::string(p.param.name); });

// Cuts keep the target plus half a packet and half a request: the top of the
// held-back time's saw-tooth.
TEST(LatencyControl, CutsLandOnTheTopOfTheSawTooth) {
    LatencyControl control(LatencyConfig{.targetMs = 40});
    EXPECT_FALSE(control.plan(1919, 480).play);
    const LatencyControl::Step start = control.plan(48000, 480);
    EXPECT_EQ(std::pair(start.skip, start.drop), std::pair(uint64_t{48000 - 1920 - 480 - 240}, uint64_t{0}));
    // The sound server played a gap: what it left in the ring is cut at once...
    control.serverUnderflow();
    EXPECT_EQ(control.plan(1920 + 1200, 480).drop, 1200u - 480 - 240);
    // ...but within a packet of the target resampling takes care of it.
    control.serverUnderflow();
    EXPECT_EQ(control.plan(1920 + 900, 480).drop, 0u);
    EXPECT_EQ(control.corrections(), 1u);
}

TEST(DeviceModules, LeftoversAreRecognisedByTheirNamesOnly) {
    using namespace DeviceModules;
    const std::string uid = sonvale::kDeviceUID, sink(kLegacySinkName);
    const std::pair<std::string, bool> rows[] = {
        {sourceArguments("/run/user/1000/x y.fifo"), true},
        {"sink_name=" + sink + " format=float32le", true},     // an earlier version's sink
        {"master=x.monitor source_name='" + uid + "'", true},  // made by hand, still in the way
        {"sink_name=" + sink + "2", false},
        {"source_name=sonvaledevice_uid", false},
        {"sink_properties=\"device.description=sink_name=" + sink + "\"", false}};
    for (const auto& [arguments, ours] : rows)
        EXPECT_EQ(isOurs(arguments), ours) << arguments;
    EXPECT_EQ(argumentValue("a=1  b=\"x y\" c", "b"), "x y");
    EXPECT_EQ(argumentValue("a=1 b=\"unterminated", "b"), "unterminated");
    EXPECT_EQ(argumentValue("=x a=2", "a"), "2");
}

// PulseAudio reads the FIFO as data comes: the bridge keeps time itself, and
// makes up at most 100 ms after a stall.
TEST(FifoPacer, OnPulseAudioTheClockSetsThePace) {
    FifoPacer pacer(FifoPacer::Mode::clock, 20);
    const auto t0 = FifoPacer::Clock::now();
    pacer.start(t0);
    const std::pair<int, size_t> ticks[] = {{5, 240}, {12, 336}, {1012, 4800}, {1017, 240}};
    for (const auto& [ms, frames] : ticks)
        EXPECT_EQ(pacer.plan(t0 + std::chrono::milliseconds(ms), 0).frames, frames) << ms;
}

// PipeWire reads a graph cycle's worth per cycle: the FIFO stays filled above
// the largest read, so the reads set the pace without running short.
TEST(FifoPacer, OnPipeWireTheServersReadsSetThePace) {
    FifoPacer pacer(FifoPacer::Mode::level, 20);
    const auto t0 = FifoPacer::Clock::now();
    pacer.start(t0);
    size_t queued = 0;
    double t = 0, nextRead = 0.01;
    // Two seconds of reads of cycle frames; the bridge ticks every 5 ms. Returns the short reads.
    const auto run = [&](size_t cycle) {
        size_t shortReads = 0;
        for (const double end = t + 2; t < end; t += 0.005) {
            for (; nextRead <= t; nextRead += static_cast<double>(cycle) / kRate) {
                shortReads += queued < cycle ? 1 : 0;
                queued -= std::min(queued, cycle);
            }
            queued += pacer.plan(t0 + std::chrono::microseconds(std::llround(t * 1e6)), queued).frames;
        }
        return shortReads;
    };
    EXPECT_EQ(run(512), 0u);
    run(2048);  // a recording program with a longer cycle: learnt within two seconds
    EXPECT_EQ(run(2048), 0u);
    EXPECT_EQ(run(256), 0u);
    run(256);
    EXPECT_EQ(pacer.level(), 960u);  // and forgotten once gone
}

}  // namespace
