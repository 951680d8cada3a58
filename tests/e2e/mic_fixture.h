// What the microphone's end-to-end tests run, inside the test's own namespaces:
// a private sound server, sonvale-mic, the engine, and parecord recording the
// device. Torn down in reverse order (the members' order).
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "audio_analysis.h"
#include "engine_process.h"
#include "sonvale_protocol.h"
#include "sound_server.h"
#include "wait.h"

namespace mictest {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::SoundServer;

inline const std::string kUID = sonvale::kDeviceUID;
inline const std::string kPublished =
    "[mic] Device " + kUID + " (\"" + std::string(sonvale::kDeviceName) + "\") published on ";

inline size_t countOf(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++n;
    return n;
}

// Waits until the process has printed text count times in all.
inline bool waitForOutput(ChildProcess& p, const std::string& text, size_t count = 1) {
    return testsupport::waitFor([&] { return countOf(p.out(), text) >= count; }, 30s);
}

// parecord on the microphone into a file, float32 stereo 48 kHz. Like the phone,
// the recording program is not what is under test: it runs at real-time priority
// (the sandbox runs as root) so that a busy machine does not make it lose audio.
class Recorder {
public:
    explicit Recorder(const std::string& path)
        : path_(path),
          parecord_("chrt", {"--rr", "3", "parecord", "-d", kUID, "--raw", "--format=float32le",
                             "--rate=48000", "--channels=2", "--latency-msec=20", path}) {}
    ~Recorder() {
        parecord_.signal(SIGINT);
        parecord_.waitForExit(20s);
    }
    // The recording so far, interleaved stereo.
    std::vector<float> samples() const {
        std::ifstream in(path_, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<float> x(bytes.size() / 8 * 2);
        std::memcpy(x.data(), bytes.data(), x.size() * sizeof(float));
        return x;
    }
    bool waitForFrames(size_t frames) {
        return testsupport::waitFor([&] { return samples().size() / 2 >= frames; }, 30s);
    }

private:
    std::string path_;
    ChildProcess parecord_;
};

class MicTest : public ::testing::Test {
protected:
    void TearDown() override {
        stopMic();
        if (HasFailure() && mic)
            std::printf("sonvale-mic said:\n%s%s", mic->out().c_str(), mic->err().c_str());
    }

    void startServer(SoundServer::Kind kind = SoundServer::Kind::pulseaudio) {
        server = std::make_unique<SoundServer>(kind);
        ASSERT_TRUE(server->start()) << server->log();
    }
    void startMic(const std::vector<std::string>& args = {}) {
        mic = std::make_unique<ChildProcess>(SONVALE_MIC_PATH, args);
        ASSERT_TRUE(waitForOutput(*mic, kPublished)) << mic->out() << mic->err();
    }
    // SIGTERM and the exit status (nullopt when it did not end in time).
    std::optional<int> stopMic() {
        if (!mic) return std::nullopt;
        mic->signal(SIGTERM);
        return mic->waitForExit(20s);
    }
    void startEngine(const std::vector<std::string>& args = {}) {
        engine = std::make_unique<testsupport::EngineProcess>(args);
        ASSERT_TRUE(engine->waitReady()) << engine->process().err();
    }

    std::unique_ptr<SoundServer> server;
    std::unique_ptr<ChildProcess> mic;
    std::unique_ptr<testsupport::EngineProcess> engine;
};

}  // namespace mictest
