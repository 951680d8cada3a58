#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "mic_harness.h"
#include "paths.h"

namespace micharness {

inline constexpr const char* kPublished = "[mic] Device SonvaleDevice_UID (\"Tarnwell\") published on ";

// A sound server, sonvale-mic and (when asked) the engine, all inside the test's
// own namespaces; torn down in reverse order.
class MicTest : public ::testing::Test {
protected:
    void TearDown() override {
        stopMic();
        if (HasFailure() && mic)
            std::printf("sonvale-mic said:\n%s%s", mic->out().c_str(), mic->err().c_str());
        engine.reset();
        server.reset();
    }

    void startServer(SoundServer::Kind kind = SoundServer::Kind::pulseaudio) {
        server = std::make_unique<SoundServer>(kind);
        ASSERT_TRUE(server->start()) << server->log();
    }

    void startMic(const std::vector<std::string>& args = {"--status"}) {
        mic = std::make_unique<testsupport::ChildProcess>(micPath(), args);
        ASSERT_TRUE(mic->started());
        ASSERT_TRUE(waitForOutput(*mic, kPublished, 15s)) << mic->out() << mic->err();
    }

    // SIGTERM and the exit status (nullopt when it did not end in time).
    std::optional<int> stopMic() {
        if (!mic) return std::nullopt;
        mic->signal(SIGTERM);
        std::optional<int> status = mic->waitForExit(10s);
        return status;
    }

    void startEngine(const std::vector<std::string>& args = {}) {
        engine = std::make_unique<testsupport::ChildProcess>(testsupport::enginePath(), args);
        ASSERT_TRUE(engine->waitForLine(kEngineReady, 10s)) << engine->out() << engine->err();
    }

    std::unique_ptr<SoundServer> server;
    std::unique_ptr<testsupport::ChildProcess> mic;
    std::unique_ptr<testsupport::ChildProcess> engine;
};

}  // namespace micharness
