// The phone's tone through the engine, the ring, sonvale-mic and a real
// PulseAudio into parecord: level, frequency, delay and an
// engine restart.
#include <cstdio>

#include "mic_fixture.h"

namespace micharness {
namespace {

using Seconds = std::chrono::duration<double>;
constexpr size_t kRate = 48000;

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

class MicAudioTest : public MicTest {
protected:
    void startChain() {
        startServer();
        startMic();
        startEngine();
    }
};

TEST_F(MicAudioTest, ToneArrivesAtTheSentFrequencyAndLevel) {
    startChain();
    Recorder recorder(10);
    ASSERT_TRUE(recorder.waitForFrames(4800, 10s));
    // A second of silence lets every stage settle, then the tone starts.
    constexpr int kSilence = 50;
    PacedPhone phone(phoneSignal(kSilence, 200), 1.0);
    phone.start();
    phone.waitUntilDone();
    std::this_thread::sleep_for(300ms);
    recorder.stop();

    const std::vector<float>& x = recorder.samples();
    const std::optional<size_t> onset = firstLoudFrame(x, 0, 0, 0.05f);
    ASSERT_TRUE(onset.has_value()) << "no tone in " << recorder.frames() << " frames";
    const double delayMs = ms(recorder.arrivalOf(*onset) - phone.sentAt(kSilence));
    std::printf("end-to-end delay, datagram to recorded sample: %.1f ms\n", delayMs);
    RecordProperty("end_to_end_delay_ms", std::to_string(delayMs));
    EXPECT_GT(delayMs, 0);
    EXPECT_LT(delayMs, 400);

    // One second of steady tone, half a second in: 1000 Hz left, 1500 Hz right, both at
    // 0.5. While the latency control settles it may resample by a few tenths of a percent.
    const size_t steady = *onset + kRate / 2;
    ASSERT_GT(recorder.frames(), steady + kRate);
    EXPECT_NEAR(frequency(x, 0, steady, kRate), kLeftHz, kLeftHz * kClockTolerance);
    EXPECT_NEAR(frequency(x, 1, steady, kRate), kRightHz, kRightHz * kClockTolerance);
    const double expectedRms = kAmplitude / std::sqrt(2.0);
    EXPECT_NEAR(rms(x, 0, steady, kRate), expectedRms, expectedRms * 0.1);  // within 1 dB
    EXPECT_NEAR(rms(x, 1, steady, kRate), expectedRms, expectedRms * 0.1);
    // No dropout from the onset to the end of the tone (4 s).
    EXPECT_EQ(longestQuiet(x, 0, *onset + 960, *onset + 3 * kRate + kRate / 2, 0.25f), 0u);
}

TEST_F(MicAudioTest, EngineRestartResumesTheRecordingWithinASecond) {
    startChain();
    Recorder recorder(10);
    ASSERT_TRUE(recorder.waitForFrames(4800, 10s));
    PacedPhone phone(phoneSignal(0, 400), 1.0);
    phone.start();
    std::this_thread::sleep_for(3s);

    engine->signal(SIGTERM);
    ASSERT_EQ(engine->waitForExit(5s), 0);
    startEngine();  // a new ring replaces the old one
    const Clock::time_point restarted = Clock::now();
    phone.waitUntilDone();
    recorder.stop();
    EXPECT_TRUE(waitForOutput(*mic, "[mic] Ring replaced by a new engine; re-attached", 1s)) << mic->out();

    const std::vector<float>& x = recorder.samples();
    const std::optional<size_t> onset = firstLoudFrame(x, 0, 0, 0.05f);
    ASSERT_TRUE(onset.has_value());
    const size_t end = *onset + 7 * kRate;
    ASSERT_GT(recorder.frames(), end);
    const size_t gap = longestQuiet(x, 0, *onset + 960, end, 0.25f);
    const size_t resumed = endOfLongestQuiet(x, 0, *onset + 960, end, 0.25f);
    ASSERT_GT(gap, 0u) << "the restart left no gap at all";
    const double resumeMs = ms(recorder.arrivalOf(resumed) - restarted);
    std::printf(
        "engine restart: gap %.0f ms in the recording, audio back %.0f ms after the new engine was ready\n",
        1000.0 * static_cast<double>(gap) / kRate, resumeMs);
    EXPECT_LT(resumeMs, 1000);
    // After it the tone goes on without a further gap.
    EXPECT_EQ(longestQuiet(x, 0, resumed + 960, end, 0.25f), 0u);
}

}  // namespace
}  // namespace micharness
