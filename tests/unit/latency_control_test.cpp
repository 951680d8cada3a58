// The microphone's latency control, resampler and feed against simulated clocks:
// a phone whose clock runs at senderRate times the sound server's, an engine that
// writes whole 20 ms packets (its jitter buffer releasing the first four at once)
// and a sound server that asks for fixed-size requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <numbers>
#include <vector>

#include "device_modules.h"
#include "latency_control.h"
#include "mic_feed.h"
#include "mic_status.h"
#include "resampler.h"

namespace {

constexpr double kRate = 48000;
constexpr size_t kPacket = 960;

// Same semantics as the shared ring, in memory.
class SimulatedRing : public FrameSource {
public:
    void write(const std::vector<float>& frames) {
        const size_t n = frames.size() / 2;
        for (size_t i = 0; i < n; ++i) {
            const size_t slot = (writeIndex_ + i) % 48000;
            data_[2 * slot] = frames[2 * i];
            data_[2 * slot + 1] = frames[2 * i + 1];
        }
        writeIndex_ += n;
    }
    uint64_t held() const override { return std::min<uint64_t>(writeIndex_ - readIndex_, 48000); }
    size_t read(float* out, size_t count) override {
        if (writeIndex_ - readIndex_ > 48000) readIndex_ = writeIndex_ - 48000;
        const size_t n = std::min<size_t>(count, writeIndex_ - readIndex_);
        for (size_t i = 0; i < count; ++i) {
            const size_t slot = (readIndex_ + i) % 48000;
            out[2 * i] = i < n ? data_[2 * slot] : 0.0f;
            out[2 * i + 1] = i < n ? data_[2 * slot + 1] : 0.0f;
        }
        readIndex_ += n;
        return n;
    }

private:
    std::vector<float> data_ = std::vector<float>(2 * 48000);
    uint64_t writeIndex_ = 0;
    uint64_t readIndex_ = 0;
};

struct SimResult {
    std::vector<float> output;          // left channel only
    std::vector<double> heldPerSecond;  // mean held-back time in ms, one per simulated second
    std::vector<double> ratioPerSecond;
    uint64_t corrections = 0;
    uint64_t underruns = 0;
    double ratio = 1;
};

// Packet k of the phone leaves at k × 20 ms of its own clock; it reaches the ring
// at that time divided by senderRate on the server's clock, plus stalls.
class Simulation {
public:
    double senderRate = 1.0;
    size_t requestFrames = 480;
    double toneHz = 1000;
    double jitterMs = 2;
    LatencyConfig config;
    // Packets whose arrival is held back until a later time (a stall), in seconds.
    double stallFrom = -1, stallUntil = -1;
    // Packets the phone does not send at all (the phone paused), in seconds.
    double pauseFrom = -1, pauseUntil = -1;

    SimResult run(double seconds) {
        SimulatedRing ring;
        MicFeed feed(ring, config);
        SimResult result;
        std::vector<float> out(2 * requestFrames);
        std::vector<std::vector<float>> prebuffer;
        uint64_t next = 0;
        bool released = false;
        double second = 1.0;
        for (double t = 0; t < seconds; t += static_cast<double>(requestFrames) / kRate) {
            while (arrival(next) <= t) {
                const double sent = static_cast<double>(next) * 0.02 / senderRate;
                if (sent >= pauseFrom && sent < pauseUntil) {
                    ++next;
                    released = false;  // the engine's jitter buffer keeps playing; a resume is a trickle
                    continue;
                }
                std::vector<float> packet = tone(next);
                ++next;
                if (!released) {
                    prebuffer.push_back(std::move(packet));
                    if (prebuffer.size() < 4 && next < 4) continue;
                    for (const std::vector<float>& p : prebuffer)
                        ring.write(p);
                    prebuffer.clear();
                    released = true;
                } else {
                    ring.write(packet);
                }
            }
            feed.fill(out.data(), requestFrames);
            for (size_t i = 0; i < requestFrames; ++i)
                result.output.push_back(out[2 * i]);
            if (t + static_cast<double>(requestFrames) / kRate >= second) {
                result.heldPerSecond.push_back(feed.control().takeMeanHeldMs());
                result.ratioPerSecond.push_back(feed.control().ratio());
                second += 1.0;
            }
        }
        if (std::getenv("SIM_TRACE") != nullptr) {
            for (size_t i = 0; i < result.heldPerSecond.size(); ++i)
                std::printf("%zu s: held %.1f ms, ratio %.5f\n", i + 1, result.heldPerSecond[i],
                            result.ratioPerSecond[i]);
        }
        result.corrections = feed.control().corrections();
        result.underruns = feed.control().underruns();
        // What the loop settled on: the mean ratio over the last third of the run.
        const size_t from = result.ratioPerSecond.size() * 2 / 3;
        double sum = 0;
        for (size_t i = from; i < result.ratioPerSecond.size(); ++i)
            sum += result.ratioPerSecond[i];
        result.ratio = sum / static_cast<double>(result.ratioPerSecond.size() - from);
        return result;
    }

private:
    double arrival(uint64_t packet) const {
        const double sent = static_cast<double>(packet) * 0.02 / senderRate;
        if (sent >= stallFrom && sent < stallUntil) return stallUntil;
        // Network and scheduling jitter, up to ±jitterMs, the same on every run.
        const double u = static_cast<double>((packet * 2654435761u) % 1000) / 1000.0;
        return sent + (2 * u - 1) * jitterMs / 1000.0;
    }
    std::vector<float> tone(uint64_t packet) const {
        std::vector<float> pcm(2 * kPacket);
        for (size_t i = 0; i < kPacket; ++i) {
            const double n = static_cast<double>(packet * kPacket + i);
            const float v = 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * toneHz * n / kRate));
            pcm[2 * i] = v;
            pcm[2 * i + 1] = v;
        }
        return pcm;
    }
};

// The largest step between neighbouring samples from `from` on: a clean 1 kHz
// tone at 0.5 never steps more than 0.066; a jump or a dropout does.
float largestStep(const std::vector<float>& x, size_t from, size_t to = SIZE_MAX) {
    float worst = 0;
    for (size_t i = from + 1; i < std::min(to, x.size()); ++i)
        worst = std::max(worst, std::abs(x[i] - x[i - 1]));
    return worst;
}

// The shortest 10 ms window's peak from `from` on: a dropout shows as a low peak.
float quietestWindow(const std::vector<float>& x, size_t from, size_t to = SIZE_MAX) {
    float quietest = 1;
    for (size_t w = from; w + 480 <= std::min(to, x.size()); w += 480) {
        float peak = 0;
        for (size_t i = w; i < w + 480; ++i)
            peak = std::max(peak, std::abs(x[i]));
        quietest = std::min(quietest, peak);
    }
    return quietest;
}

TEST(LatencyControl, SteadySenderSettlesAtTheTargetAfterOnePrebufferDrop) {
    Simulation sim;
    const SimResult run = sim.run(20);
    // The jitter buffer's first release (80 ms) is above target + excess: one cut.
    EXPECT_EQ(run.corrections, 1u);
    EXPECT_EQ(run.underruns, 0u);
    for (size_t s = 1; s < run.heldPerSecond.size(); ++s)
        EXPECT_NEAR(run.heldPerSecond[s], 40, 6) << "second " << s;
    EXPECT_NEAR(run.ratio, 1.0, 0.0005);
    EXPECT_LT(largestStep(run.output, 48000), 0.07f);
    EXPECT_GT(quietestWindow(run.output, 4800), 0.45f);
}

class ClockOffset : public ::testing::TestWithParam<double> {};

TEST_P(ClockOffset, FollowedByResamplingWithoutGrowingLateOrStarving) {
    Simulation sim;
    sim.senderRate = GetParam();
    const SimResult run = sim.run(60);
    EXPECT_LE(run.corrections, 1u);
    EXPECT_EQ(run.underruns, 0u);
    for (size_t s = 1; s < run.heldPerSecond.size(); ++s)
        EXPECT_NEAR(run.heldPerSecond[s], 40, 10) << "second " << s;
    // Settled: the last seconds sit close to the target and the ratio has learnt the clock.
    for (size_t s = 40; s < run.heldPerSecond.size(); ++s)
        EXPECT_NEAR(run.heldPerSecond[s], 40, 3) << "second " << s;
    EXPECT_NEAR(run.ratio, GetParam(), 0.0005);
    // No audible jump and no dropout anywhere after the start.
    EXPECT_LT(largestStep(run.output, 4800), 0.07f);
    EXPECT_GT(quietestWindow(run.output, 4800), 0.45f);
}

INSTANTIATE_TEST_SUITE_P(HalfPercent, ClockOffset, ::testing::Values(1.005, 0.995),
                         [](const auto& p) { return p.param > 1 ? "Fast" : "Slow"; });

TEST(LatencyControl, LargerOffsetsStayWithinTheAdjustLimit) {
    Simulation sim;
    sim.senderRate = 1.008;
    const SimResult run = sim.run(60);
    EXPECT_EQ(run.underruns, 0u);
    EXPECT_LE(run.corrections, 1u);
    EXPECT_NEAR(run.ratio, 1.008, 0.0005);
    sim.senderRate = 1.02;  // beyond 1 %: resampling cannot keep up, drops bound the delay
    const SimResult beyond = sim.run(30);
    EXPECT_GT(beyond.corrections, 1u);
    EXPECT_NEAR(beyond.ratio, 1.01, 0.001);
    for (double held : beyond.heldPerSecond)
        EXPECT_LT(held, 40 + 30 + 20);
}

TEST(LatencyControl, BurstAfterAStallIsDroppedNotKept) {
    Simulation sim;
    sim.stallFrom = 10.0;
    sim.stallUntil = 10.3;  // 300 ms of packets arrive at once
    const SimResult run = sim.run(16);
    EXPECT_EQ(run.corrections, 2u);  // the start and the burst
    EXPECT_EQ(run.underruns, 1u);    // the ring ran dry during the stall
    // One second later the held-back time is back at the target, not 300 ms late.
    for (size_t s = 12; s < run.heldPerSecond.size(); ++s)
        EXPECT_NEAR(run.heldPerSecond[s], 40, 6) << "second " << s;
    // The cut cross-fades: no step larger than the tone's own around it.
    EXPECT_LT(largestStep(run.output, static_cast<size_t>(10.3 * kRate), static_cast<size_t>(11 * kRate)),
              0.07f);
}

TEST(LatencyControl, PausedPhoneGivesSilenceThenResumesAtTheTarget) {
    Simulation sim;
    sim.pauseFrom = 5.0;
    sim.pauseUntil = 7.0;
    const SimResult run = sim.run(12);
    EXPECT_EQ(run.underruns, 1u);
    // Silence while paused, and the resumed trickle is not played before the target is held.
    const auto silentFrom = static_cast<size_t>(5.2 * kRate), silentTo = static_cast<size_t>(7.0 * kRate);
    EXPECT_EQ(*std::max_element(run.output.begin() + silentFrom, run.output.begin() + silentTo), 0.0f);
    for (size_t s = 9; s < run.heldPerSecond.size(); ++s)
        EXPECT_NEAR(run.heldPerSecond[s], 40, 6) << "second " << s;
    EXPECT_GT(quietestWindow(run.output, static_cast<size_t>(7.2 * kRate)), 0.45f);
}

TEST(LatencyControl, WaitsForTheTargetBeforePlaying) {
    LatencyControl control(LatencyConfig{});
    EXPECT_FALSE(control.plan(0, 480).play);
    EXPECT_FALSE(control.plan(1919, 480).play);
    const LatencyControl::Step start = control.plan(1920, 480);
    EXPECT_TRUE(start.play);
    EXPECT_EQ(start.drop, 0u);
    control.reportShortfall();
    EXPECT_FALSE(control.playing());
    EXPECT_EQ(control.underruns(), 1u);
    // Restarting from silence cuts what lies above the target at once: a little...
    EXPECT_EQ(control.plan(1920 + 1000, 480).drop, 1000u - 480u - 240u);
    control.reportShortfall();
    // ...or a burst.
    const LatencyControl::Step burst = control.plan(48000, 480);
    EXPECT_TRUE(burst.play);
    // It keeps the target plus half a packet and half a request: the top of the saw-tooth.
    EXPECT_EQ(burst.drop, 48000u - 1920u - 480u - 240u);
    EXPECT_EQ(control.corrections(), 2u);
}

TEST(LatencyControl, TimeLeftByAServerGapIsCutAtOnce) {
    LatencyControl control(LatencyConfig{});
    ASSERT_TRUE(control.plan(1920, 480).play);
    // Our answer came late: the server played 25 ms of silence and the ring kept them.
    control.serverUnderflow();
    const LatencyControl::Step cut = control.plan(1920 + 1200, 480);
    EXPECT_EQ(cut.drop, 1200u - 480u - 240u);  // down to the top of the saw-tooth
    EXPECT_EQ(control.corrections(), 1u);
    // Within a packet of the target nothing is cut: resampling takes care of it.
    control.serverUnderflow();
    EXPECT_EQ(control.plan(1920 + 900, 480).drop, 0u);
    EXPECT_EQ(control.plan(1920 + 1200, 480).drop, 0u);  // only right after the gap
    EXPECT_EQ(control.corrections(), 1u);
}

TEST(LatencyControl, OtherTargetsAndRequestSizes) {
    // A request must fit in what is held besides half a packet of saw-tooth.
    const std::pair<double, size_t> cases[] = {{20, 128}, {40, 441}, {60, 1024}, {100, 2048}};
    for (const auto& [target, request] : cases) {
        {
            Simulation sim;
            sim.config.targetMs = target;
            sim.requestFrames = request;
            sim.senderRate = 0.995;
            const SimResult run = sim.run(30);
            EXPECT_EQ(run.underruns, 0u) << target << " ms, " << request;
            for (size_t s = 10; s < run.heldPerSecond.size(); ++s)
                EXPECT_NEAR(run.heldPerSecond[s], target, 6)
                    << target << " ms, " << request << ", second " << s;
        }
    }
}

TEST(Resampler, RatioOnePassesFramesThroughExactly) {
    Resampler r;
    std::vector<float> in(2 * 1000);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = std::sin(static_cast<float>(i) * 0.37f);
    std::vector<float> out;
    size_t pushed = 0;
    while (out.size() < 2 * 900) {
        std::vector<float> chunk(2 * 100);
        const size_t need = r.inputNeeded(100, 1.0);
        r.push(in.data() + 2 * pushed, need);
        pushed += need;
        r.process(chunk.data(), 100, 1.0);
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    // The kernel's half width delays by 8 frames... of which 7 are initial history.
    for (size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], in[i]) << i;
}

TEST(Resampler, ToneAtAnOffsetRatioStaysCleanAndShiftsByTheRatio) {
    Resampler r;
    const double ratio = 1.005, hz = 1000;
    auto x = [&](double n) { return std::sin(2 * std::numbers::pi * hz * n / kRate); };
    std::vector<float> out(2 * 48000);
    size_t pushed = 0;
    for (size_t done = 0; done < 48000; done += 480) {
        const size_t need = r.inputNeeded(480, ratio);
        std::vector<float> in(2 * need);
        for (size_t i = 0; i < need; ++i)
            in[2 * i] = in[2 * i + 1] = static_cast<float>(x(double(pushed + i)));
        pushed += need;
        r.push(in.data(), need);
        r.process(out.data() + 2 * done, 480, ratio);
    }
    // Output frame i is the input at position i × ratio: a 1005 Hz tone, error below -70 dB.
    double worst = 0;
    for (size_t i = 16; i < 48000; ++i)
        worst = std::max(worst, std::abs(out[2 * i] - x(double(i) * ratio)));
    EXPECT_LT(worst, 3e-4);
    // It consumed what the ratio says, give or take the kernel.
    EXPECT_NEAR(static_cast<double>(pushed), 48000 * ratio, 16);
}

TEST(Resampler, ChangingRatiosNeverReadPastWhatWasPushed) {
    Resampler r;
    double expected = 0;
    size_t pushed = 0;
    std::vector<float> out(2 * 2000), in(2 * 3000, 0.25f);
    for (int i = 0; i < 2000; ++i) {
        const size_t n = static_cast<size_t>(1 + (i * 7919) % 1500);
        const double ratio = 1.0 + 0.01 * std::sin(i * 0.1);
        const size_t need = r.inputNeeded(n, ratio);
        r.push(in.data(), need);
        pushed += need;
        r.process(out.data(), n, ratio);  // asserts inside on an over-read in debug builds
        expected += static_cast<double>(n) * ratio;
        ASSERT_GE(r.pendingFrames(), 0.0);
        ASSERT_NEAR(out[2 * (n - 1)], 0.25f, 1e-5f);  // DC passes unchanged
    }
    EXPECT_NEAR(static_cast<double>(pushed), expected, 16);
}

TEST(DeviceModules, ArgumentsCarryBothNamesAndRecogniseLeftovers) {
    using namespace DeviceModules;
    const std::string source = sourceArguments();
    EXPECT_EQ(argumentValue(source, "source_name"), "SonvaleDevice_UID");
    EXPECT_EQ(argumentValue(source, "master"), "sonvale_mic_feed.monitor");
    EXPECT_NE(argumentValue(source, "source_properties").find("device.description='Tarnwell'"),
              std::string::npos);
    EXPECT_EQ(argumentValue(sinkArguments(), "sink_name"), "sonvale_mic_feed");
    EXPECT_TRUE(isOurs(source));
    EXPECT_TRUE(isOurs(sinkArguments()));
    // A hand-made device of the same name is in the way as well.
    EXPECT_TRUE(isOurs("master=x.monitor source_name='SonvaleDevice_UID'"));
    EXPECT_FALSE(isOurs("sink_name=sonvale_mic_feed2"));
    EXPECT_FALSE(isOurs("source_name=sonvaledevice_uid"));
    EXPECT_FALSE(isOurs("sink_properties=\"device.description=sink_name=sonvale_mic_feed\""));
    EXPECT_FALSE(isOurs(""));
    EXPECT_EQ(argumentValue("a=1  b=\"x y\" c", "b"), "x y");
    EXPECT_EQ(argumentValue("a=1 b=\"unterminated", "b"), "unterminated");
    EXPECT_EQ(argumentValue("=x a=2", "a"), "2");
}

TEST(MicStatus, LineShowsHeldBackTimeAndCorrections) {
    MicStatus s;
    s.heldMs = 40.24;
    s.targetMs = 40;
    s.ratio = 1.005;
    s.corrections = 2;
    s.droppedMs = 81.0;
    s.ringAttached = true;
    s.device = "published";
    EXPECT_EQ(
        formatMicStatus(s),
        "held back 40.2 ms (target 40 ms), corrections 2 (81.0 ms dropped), rate +0.500 %, underruns 0, "
        "server gaps 0, ring attached, device published");
}

}  // namespace
