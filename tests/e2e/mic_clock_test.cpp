// A phone whose clock runs 0.5 % fast or slow, for a minute each, through the
// engine, the ring, sonvale-mic and a real PulseAudio into parecord.
#include <cstdio>

#include "mic_fixture.h"

namespace micharness {
namespace {

constexpr size_t kRate = 48000;

class MicAudioTest : public MicTest {
protected:
    void startChain() {
        startServer();
        startMic();
        startEngine();
    }
};

// A phone whose clock runs 0.5 % fast or slow for 60 s: the held-back time stays
// within the target ± 20 ms and the recording has no dropout.
class MicClockTest : public MicAudioTest, public ::testing::WithParamInterface<double> {};

TEST_P(MicClockTest, HeldBackTimeStaysNearTheTargetForAMinute) {
    const double rate = GetParam();
    startChain();
    Recorder recorder(20);
    ASSERT_TRUE(recorder.waitForFrames(4800, 10s));
    const size_t linesBefore = statusLines(*mic).size();
    PacedPhone phone(phoneSignal(0, 3000), rate);
    phone.start();
    phone.waitUntilDone();
    const std::vector<MicStatusLine> lines = statusLines(*mic);
    recorder.stop();

    // The status lines printed while the phone sent, after the first two seconds.
    ASSERT_GE(lines.size(), linesBefore + 55);
    const size_t from = linesBefore + 2, to = lines.size() - 1;
    double lowest = 1e9, highest = 0;
    for (size_t i = from; i < to; ++i) {
        lowest = std::min(lowest, lines[i].heldMs);
        highest = std::max(highest, lines[i].heldMs);
        EXPECT_NEAR(lines[i].heldMs, 40, 20) << "status line " << i - linesBefore;
    }
    const MicStatusLine& last = lines[to - 1];
    std::printf(
        "sender clock %+.1f %%: held back %.1f..%.1f ms, rate %+.3f %%, corrections %llu, underruns %llu, "
        "server gaps %llu\n",
        (rate - 1) * 100, lowest, highest, last.ratePercent, last.corrections, last.underruns,
        last.serverGaps);
    EXPECT_EQ(last.underruns, 0u);
    EXPECT_LE(last.corrections, 1u);  // at most the jitter buffer's first release
    EXPECT_NEAR(last.ratePercent, (rate - 1) * 100, 0.2);

    const std::vector<float>& x = recorder.samples();
    const std::optional<size_t> onset = firstLoudFrame(x, 0, 0, 0.05f);
    ASSERT_TRUE(onset.has_value());
    const size_t end = *onset + static_cast<size_t>(59.5 * kRate);
    ASSERT_GT(recorder.frames(), end);
    EXPECT_EQ(longestQuiet(x, 0, *onset + 960, end, 0.25f), 0u);
    // The phone's tone, as our clock hears it.
    EXPECT_NEAR(frequency(x, 0, end - kRate, kRate), kLeftHz * rate, 3);
}

INSTANTIATE_TEST_SUITE_P(HalfPercent, MicClockTest, ::testing::Values(1.005, 0.995),
                         [](const auto& p) { return p.param > 1 ? "PhoneFast" : "PhoneSlow"; });

}  // namespace
}  // namespace micharness
