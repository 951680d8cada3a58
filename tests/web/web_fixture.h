// The engine and the gateway as a phone's browser meets them, the ring they
// fill, and the checks of a 1 kHz tone arriving there.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "audio_analysis.h"
#include "engine_process.h"
#include "sv_ring.hpp"
#include "wait.h"

namespace testsupport {

inline const std::string kPin = "4711";
inline const QString kOrigin = "https://127.0.0.1:47812";

// Runs Qt's events while waiting, so sockets of the test itself move.
template <class Predicate>
bool pumpUntil(Predicate done, std::chrono::milliseconds timeout = 20s) {
    return waitFor(
        [&] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            return done();
        },
        timeout);
}

// Follows the ring from its newest frame on, across an engine that replaces it.
class RingTap {
public:
    void poll() {
        if (ring_.isOpen() && ring_.replaced()) ring_.close();
        if (!ring_.isOpen()) {
            if (!ring_.open(svring::Ring::Access::look)) return;
            next_ = ring_.writeIndex();
        }
        const uint64_t end = ring_.writeIndex();
        // An engine writes up to a second of concealment at once when a new
        // sender's numbers jump; what the ring no longer holds counts as missed.
        if (end - next_ > kMostFrames) {
            missed += end - kMostFrames - next_;
            next_ = end - kMostFrames;
        }
        if (end <= next_) return;
        std::vector<float> chunk(2 * static_cast<size_t>(end - next_));
        if (ring_.copyFrames(next_, chunk.data(), chunk.size() / 2) == chunk.size() / 2) {
            frames.insert(frames.end(), chunk.begin(), chunk.end());
            next_ = end;
        }
    }
    std::vector<float> frames;  // interleaved stereo
    uint64_t missed = 0;

private:
    static constexpr uint64_t kMostFrames = 36000;
    svring::Ring ring_;
    uint64_t next_ = 0;
};

// The tone at 1 kHz and the given RMS (within 1.5 dB), from frame from on,
// without any hole of more than 5 ms (near-silent samples in a row).
inline void expectTone(const std::vector<float>& x, size_t from, double wantedRms) {
    const size_t count = x.size() / 2;
    ASSERT_GT(count, from + 48000) << "too little audio in the ring";
    EXPECT_NEAR(frequency(x, 0, from, count - from), 1000.0, 5.0);
    EXPECT_NEAR(20 * std::log10(rms(x, 0, from, count - from) / wantedRms), 0.0, 1.5);
    size_t run = 0, longest = 0;
    for (size_t i = from; i < count; ++i) {
        run = std::abs(x[2 * i]) < 0.02f ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    EXPECT_LE(longest, 240u) << "a hole of " << longest << " frames";
}

class WebGateway : public ::testing::Test {
protected:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "web_tests";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
        setenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()).constData(), 1);
        startEngine();
        gateway = std::make_unique<ChildProcess>(SONVALE_WEB_PATH, std::vector<std::string>{"--pin", kPin});
        ASSERT_TRUE(gateway->waitForLine("https://127.0.0.1:47812/#pin=" + kPin, 30s)) << gateway->err();
    }
    void startEngine() {
        engine = std::make_unique<EngineProcess>(EngineProcess::withPin(kPin));
        ASSERT_TRUE(engine->waitReady());
    }

    QTemporaryDir dataHome;  // the gateway's certificate
    std::unique_ptr<EngineProcess> engine;
    std::unique_ptr<ChildProcess> gateway;
    RingTap tap;
};

}  // namespace testsupport
