// The same bridge against PipeWire's pulse server, fed by the real phone tool
// pairing with a PIN.
#include "mic_fixture.h"

namespace micharness {
namespace {

TEST_F(MicTest, PipeWireSeesTheDeviceAndRecordsTheTone) {
    startServer(SoundServer::Kind::pipewire);
    startMic();
    EXPECT_EQ(server->sourceDescription("SonvaleDevice_UID"), "Tarnwell");
    startEngine({"--pin", "2468"});

    Recorder recorder(20);
    ASSERT_TRUE(recorder.waitForFrames(4800, 10s));
    // A 1000 Hz tone at -6 dBFS (peak 0.5) on both channels, for three seconds.
    testsupport::ChildProcess phone(SONVALE_PHONE_PATH,
                                    {"--pin", "2468", "--tone", "1000", "--duration", "3"});
    ASSERT_EQ(phone.waitForExit(20s), 0) << phone.out() << phone.err();
    std::this_thread::sleep_for(200ms);
    recorder.stop();
    const std::vector<float>& x = recorder.samples();
    const std::optional<size_t> onset = firstLoudFrame(x, 0, 0, 0.05f);
    ASSERT_TRUE(onset.has_value()) << recorder.frames() << " frames recorded";
    ASSERT_GT(recorder.frames(), *onset + 72000);
    EXPECT_NEAR(frequency(x, 0, *onset + 24000, 48000), kLeftHz, kLeftHz * kClockTolerance);
    EXPECT_NEAR(frequency(x, 1, *onset + 24000, 48000), kLeftHz, kLeftHz * kClockTolerance);
    EXPECT_NEAR(rms(x, 0, *onset + 24000, 48000), kAmplitude / std::sqrt(2.0), 0.035);
    EXPECT_NEAR(rms(x, 1, *onset + 24000, 48000), kAmplitude / std::sqrt(2.0), 0.035);
    EXPECT_EQ(longestQuiet(x, 0, *onset + 960, *onset + 120000, 0.25f), 0u);

    EXPECT_EQ(stopMic(), 0);
    EXPECT_EQ(server->sourceDescription("SonvaleDevice_UID"), std::nullopt);
}

}  // namespace
}  // namespace micharness
