// The device as other programs see it, against a real PulseAudio: its names,
// its removal on exit and after a crash, and what the command line promises.
#include <signal.h>

#include "mic_fixture.h"

namespace micharness {
namespace {

bool hasLine(const std::string& listing, const std::string& part) {
    return listing.find(part) != std::string::npos;
}

TEST_F(MicTest, DeviceAppearsWithBothNamesAndLeavesOnExit) {
    startServer();
    const std::string defaultSink = server->pactl("get-default-sink");
    startMic();
    EXPECT_EQ(server->sourceDescription("SonvaleDevice_UID"), "Tarnwell");
    // Our sink never takes other programs' sound.
    EXPECT_EQ(server->pactl("get-default-sink"), defaultSink);

    // The ring has room for one reader: a second bridge refuses to start.
    testsupport::ChildProcess second(micPath(), {});
    EXPECT_EQ(second.waitForExit(10s), 3);
    EXPECT_NE(second.err().find("another sonvale-mic is already running"), std::string::npos) << second.err();
    EXPECT_EQ(server->sourceDescription("SonvaleDevice_UID"), "Tarnwell");

    EXPECT_EQ(stopMic(), 0);
    EXPECT_NE(mic->out().find("[mic] Device SonvaleDevice_UID removed"), std::string::npos) << mic->out();
    EXPECT_EQ(server->sourceDescription("SonvaleDevice_UID"), std::nullopt);
    const std::string modules = server->pactl("list modules short");
    EXPECT_FALSE(hasLine(modules, "sonvale_mic_feed")) << modules;
    EXPECT_FALSE(hasLine(modules, "SonvaleDevice_UID")) << modules;
}

TEST_F(MicTest, LeftoversOfACrashedRunAreRemovedAtStart) {
    startServer();
    startMic();
    mic->signal(SIGKILL);
    ASSERT_EQ(mic->waitForExit(5s), 128 + SIGKILL);
    ASSERT_EQ(server->sourceDescription("SonvaleDevice_UID"), "Tarnwell");  // left behind

    startMic();
    EXPECT_EQ(countOf(mic->out(), "[mic] Removing leftover module "), 2u) << mic->out();
    const std::string sources = server->pactl("list sources short");
    EXPECT_EQ(countOf(sources, "SonvaleDevice_UID"), 1u) << sources;
    const std::string sinks = server->pactl("list sinks short");
    EXPECT_EQ(countOf(sinks, "sonvale_mic_feed"), 1u) << sinks;
    EXPECT_EQ(server->sourceDescription("SonvaleDevice_UID"), "Tarnwell");
}

TEST_F(MicTest, DeviceUnloadedByAnotherProgramComesBack) {
    startServer();
    startMic();
    const std::string modules = server->pactl("list modules short");
    std::string index;
    for (size_t at = 0; at < modules.size();) {
        const size_t end = modules.find('\n', at);
        const std::string line = modules.substr(at, end - at);
        if (line.find("module-remap-source") != std::string::npos) index = line.substr(0, line.find('\t'));
        at = end == std::string::npos ? modules.size() : end + 1;
    }
    ASSERT_FALSE(index.empty()) << modules;
    server->pactl("unload-module " + index);
    EXPECT_TRUE(waitForOutput(*mic, kPublished, 10s, 2)) << mic->out();
    EXPECT_EQ(server->sourceDescription("SonvaleDevice_UID"), "Tarnwell");
    EXPECT_EQ(countOf(server->pactl("list sinks short"), "sonvale_mic_feed"), 1u);
}

TEST_F(MicTest, SoundServerRestartPublishesTheDeviceAgain) {
    startServer();
    startMic();
    ASSERT_TRUE(server->restart()) << server->log();
    EXPECT_TRUE(waitForOutput(*mic, "[mic] Sound server lost", 10s)) << mic->out();
    ASSERT_TRUE(waitForOutput(*mic, kPublished, 15s, 2)) << mic->out();
    EXPECT_EQ(server->sourceDescription("SonvaleDevice_UID"), "Tarnwell");

    // And the audio flows again through the new server.
    startEngine();
    PacedPhone phone(phoneSignal(0, 150), 1.0);
    phone.start();
    Recorder recorder(20);
    ASSERT_TRUE(recorder.waitForFrames(48000, 10s));
    phone.waitUntilDone();
    recorder.stop();
    const std::optional<size_t> onset = firstLoudFrame(recorder.samples(), 0, 0, 0.1f);
    ASSERT_TRUE(onset.has_value());
    EXPECT_NEAR(frequency(recorder.samples(), 0, *onset + 4800, 24000), kLeftHz, kLeftHz * kClockTolerance);
}

TEST(MicCommandLine, HelpListsEveryOptionWithUnitAndDefault) {
    testsupport::ChildProcess help(micPath(), {"--help"});
    ASSERT_EQ(help.waitForExit(5s), 0);
    const std::string text = help.out();
    const char* const options[][2] = {{"--target", "in ms (default 40"},
                                      {"--excess", "in ms (default 30"},
                                      {"--max-adjust", "in percent (default 1.0"},
                                      {"--latency", "in ms\n"},
                                      {"--server", "(default: the session's)"},
                                      {"--status", "(default: redrawn in place on a terminal"}};
    for (const auto& [option, unitAndDefault] : options) {
        EXPECT_NE(text.find(option), std::string::npos) << option << "\n" << text;
        EXPECT_NE(text.find(unitAndDefault), std::string::npos) << option << "\n" << text;
    }

    testsupport::ChildProcess wrong(micPath(), {"--target", "2"});
    EXPECT_EQ(wrong.waitForExit(5s), 2);
    EXPECT_FALSE(wrong.err().empty());
    testsupport::ChildProcess unknown(micPath(), {"--volume", "3"});
    EXPECT_EQ(unknown.waitForExit(5s), 2);
}

}  // namespace
}  // namespace micharness
