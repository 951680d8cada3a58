// The engine and the gateway as a phone's browser meets them, the ring they
// fill, and the checks of a 1 kHz tone arriving there.
#pragma once

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "audio_analysis.h"
#include "engine_process.h"
#include "gateway_process.h"
#include "qt_wait.h"
#include "ring_tap.h"

namespace testsupport {

inline const std::string kPin = "4711";

// The tone at 1 kHz and the given RMS (within 1.5 dB), from frame from on,
// without a quiet 10 ms anywhere.
inline void expectTone(const std::vector<float>& x, size_t from, double wantedRms) {
    const size_t count = x.size() / 2;
    ASSERT_GT(count, from + 48000) << "too little audio in the ring";
    EXPECT_NEAR(frequency(x, 0, from, count - from), 1000.0, 5.0);
    EXPECT_NEAR(20 * std::log10(rms(x, 0, from, count - from) / wantedRms), 0.0, 1.5);
    EXPECT_EQ(longestQuiet(x, 0, from, count, 0.02f).length, 0u) << "a hole in the tone";
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
        gateway = startGateway(kPin);
        ASSERT_TRUE(gateway) << "the gateway did not start";
    }
    // The gateway ends cleanly: under the sanitizers a leak or a finding on its way
    // out makes the exit status nonzero.
    void TearDown() override {
        if (!gateway) return;
        gateway->signal(SIGTERM);
        EXPECT_EQ(gateway->waitForExit(30s), 0) << gateway->err();
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
