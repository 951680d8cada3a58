// The microphone as other programs see it, against a real PulseAudio: one
// bridge at a time, the device removed on exit and after a crash, and published
// again when another program or a server restart takes it away.
#include "mic_fixture.h"

namespace mictest {
namespace {

TEST_F(MicTest, OneBridgeReplacesACrashedRunsLeftoversAndRemovesTheDeviceOnExit) {
    startServer();
    startMic();
    mic->signal(SIGKILL);
    ASSERT_EQ(mic->waitForExit(20s), 128 + SIGKILL);
    ASSERT_EQ(server->sourceDescription(kUID), sonvale::kDeviceName);  // left behind
    startMic();
    EXPECT_EQ(countOf(server->pactl("list modules short"), kUID), 1u);

    // The ring has room for one consuming reader: a second bridge refuses to start.
    ChildProcess second(SONVALE_MIC_PATH, {});
    EXPECT_EQ(second.waitForExit(20s), 3);
    EXPECT_EQ(server->sourceDescription(kUID), sonvale::kDeviceName);

    EXPECT_EQ(stopMic(), 0);
    const std::string modules = server->pactl("list modules short");
    EXPECT_EQ(countOf(modules, kUID), 0u) << modules;
}

TEST_F(MicTest, DeviceTakenAwayComesBack) {
    startServer();
    startMic();
    // Another program unloads the device...
    const std::string modules = server->pactl("list modules short");
    const size_t at = modules.find("module-pipe-source");
    ASSERT_NE(at, std::string::npos) << modules;
    const size_t line = modules.rfind('\n', at) + 1;
    server->pactl("unload-module " + modules.substr(line, modules.find('\t', line) - line));
    EXPECT_TRUE(waitForOutput(*mic, kPublished, 2)) << mic->out();

    // ...or the sound server restarts.
    ASSERT_TRUE(server->restart()) << server->log();
    EXPECT_TRUE(waitForOutput(*mic, kPublished, 3)) << mic->out();
    EXPECT_EQ(server->sourceDescription(kUID), sonvale::kDeviceName);
}

}  // namespace
}  // namespace mictest
