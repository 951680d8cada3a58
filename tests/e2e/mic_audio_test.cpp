// Journey 2: phone -> engine -> ring -> the "Tarnwell" microphone -> a recording
// program, on PulseAudio and on PipeWire. The device lists gain exactly one
// input and no output; the recording carries the phone's tone at its level,
// without a gap.
#include <cmath>
#include <regex>

#include "mic_fixture.h"

namespace mictest {
namespace {

// The device names in `pactl list short sources` (or sinks), the second column.
std::vector<std::string> names(const std::string& list) {
    const std::regex name(R"(^\d+\t(\S+))", std::regex::multiline);
    std::vector<std::string> out;
    for (std::sregex_iterator m(list.begin(), list.end(), name), end; m != end; ++m)
        out.push_back((*m)[1]);
    return out;
}

class MicJourney : public MicTest, public ::testing::WithParamInterface<SoundServer::Kind> {};

TEST_P(MicJourney, RecordingProgramHearsThePhonesToneAtItsLevelWithoutAGap) {
    startServer(GetParam());
    const std::vector<std::string> sources = names(server->pactl("list short sources"));
    const std::vector<std::string> sinks = names(server->pactl("list short sinks"));
    // On a loaded machine the engine, the phone and the sound server may stall
    // for tens of milliseconds: larger buffers than a desktop needs absorb that.
    startMic({"--target", "200", "--latency", "200", "--status"});
    std::vector<std::string> withMic = names(server->pactl("list short sources"));
    EXPECT_EQ(std::erase(withMic, kUID), 1u);
    EXPECT_EQ(withMic, sources);
    EXPECT_EQ(names(server->pactl("list short sinks")), sinks);
    EXPECT_EQ(server->sourceDescription(kUID), sonvale::kDeviceName);
    startEngine(testsupport::EngineProcess::withPin("2468"));
    Recorder recorder(server->dir() + "/recording.raw");
    ASSERT_TRUE(recorder.waitForFrames(4800));

    // 1000 Hz at -6 dBFS (peak 0.5) on both channels for four seconds.
    ChildProcess phone(SONVALE_PHONE_PATH,
                       {"--pin", "2468", "--tone", "1000", "--level", "-6", "--duration", "4"});
    ASSERT_EQ(phone.waitForExit(60s), 0) << phone.err();
    constexpr size_t kRate = 48000, kChecked = 3 * kRate + kRate / 2;
    std::vector<float> x;
    std::optional<size_t> onset;
    ASSERT_TRUE(testsupport::waitFor([&] {
        x = recorder.samples();
        onset = testsupport::firstLoudFrame(x, 0, 0, 0.05f);
        return onset && x.size() / 2 > *onset + kChecked;
    })) << "the tone did not arrive: "
        << x.size() / 2 << " frames recorded";

    // Past the codec's and the bridge's onset (half a second): the tone, within
    // the 1 % the bridge may resample by, at its level within 1 dB.
    for (int channel = 0; channel < 2; ++channel) {
        EXPECT_NEAR(testsupport::frequency(x, channel, *onset + kRate / 2, kRate), 1000, 15);
        EXPECT_NEAR(20 * std::log10(testsupport::rms(x, channel, *onset + kRate / 2, kRate)), -9.03, 1);
    }
    const testsupport::QuietRun gap = testsupport::longestQuiet(x, 0, *onset + 960, *onset + kChecked, 0.25f);
    EXPECT_EQ(gap.length, 0u) << "a gap ending at frame " << gap.end - *onset << " after the onset";
}

INSTANTIATE_TEST_SUITE_P(SoundServers, MicJourney,
                         ::testing::Values(SoundServer::Kind::pulseaudio, SoundServer::Kind::pipewire),
                         [](const auto& p) {
                             return p.param == SoundServer::Kind::pulseaudio ? "PulseAudio" : "PipeWire";
                         });

}  // namespace
}  // namespace mictest
