#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "net_client.h"
#include "paths.h"
#include "sv_ring.h"

namespace testsupport {

using namespace std::chrono_literals;

inline constexpr uint16_t kAudioPort = 47810;
inline constexpr uint16_t kControlPort = 47811;
inline const std::string kReady = "[engine] Pipeline ready. Entering main loop.";

// Runs the real engine binary (inside the test's own namespaces).
class EngineTest : public ::testing::Test {
protected:
    void TearDown() override {
        SVRing_Close(&ring);
        engine.reset();
    }

    // SONVALE_ENGINE_WRAPPER (for example a valgrind command line) runs the
    // engine under another program.
    void launch(const std::vector<std::string>& args) {
        std::vector<std::string> words = wrapper();
        words.push_back(enginePath());
        words.insert(words.end(), args.begin(), args.end());
        const std::string program = words.front();
        words.erase(words.begin());
        engine = std::make_unique<ChildProcess>(program, words);
        ASSERT_TRUE(engine->started());
    }

    static std::vector<std::string> wrapper() {
        std::vector<std::string> words;
        const char* text = std::getenv("SONVALE_ENGINE_WRAPPER");
        std::istringstream in(text != nullptr ? text : "");
        for (std::string w; in >> w;) words.push_back(w);
        return words;
    }
    static bool wrapped() { return !wrapper().empty(); }

    void launchReady(const std::vector<std::string>& args) {
        launch(args);
        ASSERT_TRUE(engine->waitForLine(kReady, 10s)) << engine->out() << engine->err();
        ASSERT_TRUE(SVRing_OpenReader(&ring));
    }

    TcpClient authedClient(const std::string& pin) {
        TcpClient c;
        EXPECT_TRUE(c.connectWithin(kControlPort, 5s));
        EXPECT_TRUE(c.send("{\"t\":\"hello\",\"pin\":\"" + pin + "\"}\n"));
        EXPECT_EQ(c.readLine(5s), "{\"t\":\"hello_ok\"}");
        return c;
    }

    uint64_t writeIndex() const {
        return __atomic_load_n(static_cast<const uint64_t*>(ring.base), __ATOMIC_ACQUIRE);
    }

    // Waits until the ring's write index reaches at least frames.
    bool waitForFrames(uint64_t frames, std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (writeIndex() < frames) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    std::unique_ptr<ChildProcess> engine;
    SVRingHandle ring{-1, nullptr};
};

}  // namespace testsupport
