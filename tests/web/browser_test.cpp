// Journey 4 with a real browser: Debian's Chromium opens the link as a phone
// would, taps Start, streams a looping 1 kHz tone from its fake microphone,
// taps Stop; then a wrong PIN, then the POST way in.
#include <filesystem>
#include <iostream>

#include "paths.h"

#include "web_fixture.h"

namespace testsupport {
namespace {

// Waits for node's line starting with prefix, following the ring meanwhile.
std::optional<std::string> lineStarting(ChildProcess& node, RingTap& tap, const std::string& prefix) {
    std::optional<std::string> found;
    pumpUntil(
        [&] {
            tap.poll();
            for (const std::string& line : node.outLines()) {
                if (line.rfind(prefix, 0) == 0 || line.rfind("failed", 0) == 0) found = line;
            }
            return found.has_value() || node.waitForExit(0ms).has_value();
        },
        180s);
    return found && found->rfind(prefix, 0) == 0 ? found : std::nullopt;
}

TEST_F(WebGateway, ChromiumStreamsAToneStopsAndMeetsAWrongPin) {
    const std::string wav = buildDir() + "/test-artefacts/web/tone-1khz.wav";
    const std::string url = "https://127.0.0.1:47812/#pin=" + kPin;
    std::filesystem::create_directories(buildDir() + "/test-artefacts/web");
    // 44.1 kHz stereo, one second: a whole number of 441-frame blocks and of cycles.
    ChildProcess sox(
        "sox", {"-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth", "1", "sine", "1000", "vol", "0.5"});
    ASSERT_EQ(sox.waitForExit(30s), 0);
    ChildProcess node(
        "node", {sourceDir() + "/tests/web/browser.mjs", url, wav, buildDir() + "/test-artefacts/web", "20",
                 "https://127.0.0.1:47812/#pin=0000", url + "&transport=post"});

    for (const std::string way : {"websocket", "post"}) {
        ASSERT_TRUE(lineStarting(node, tap, "streaming " + way)) << node.out() << node.err();
        const size_t from = tap.frames.size() / 2 + 48000;
        const uint64_t missed = tap.missed;
        const auto stats = lineStarting(node, tap, "stats " + way);
        ASSERT_TRUE(stats) << node.out() << node.err();
        EXPECT_EQ(tap.missed, missed) << "the test fell behind the ring";
        std::cout << *stats << "\n";
        expectTone(tap.frames, from, 0.5 / std::sqrt(2.0));
        ASSERT_TRUE(lineStarting(node, tap, "stopped " + way)) << node.out();
        // Stop ends it: the ring stands still once the last chunks have played.
        const auto follow = [&] { pumpUntil([&] { return !tap.poll(); }, 1s); };
        follow();
        const size_t stopped = tap.frames.size();
        follow();
        EXPECT_EQ(tap.frames.size(), stopped);
        if (way == "websocket") {
            const auto wrong = lineStarting(node, tap, "wrong-pin ");
            ASSERT_TRUE(wrong) << node.out();
            EXPECT_NE(wrong->find("Wrong PIN"), std::string::npos) << *wrong;
        }
    }
    EXPECT_TRUE(lineStarting(node, tap, "done")) << node.out() << node.err();
    std::cout << gateway->err();
}

}  // namespace
}  // namespace testsupport
