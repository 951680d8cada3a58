// The audio monitor on a ring written by the test in the engine's place, and its
// test playback into a private PulseAudio server.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <QFile>
#include <QSignalSpy>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <thread>

#include "audio_analysis.h"
#include "audio_monitor.h"
#include "child_process.h"
#include "ring_writer.h"
#include "services_fixture.h"

namespace {

using namespace servicestest;
using testsupport::RingWriter;

// Permissions of this process's mappings of the ring: "r--s" read-only.
std::vector<std::string> ringMappings() {
    std::vector<std::string> out;
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly)) return out;
    for (const QByteArray& line : maps.readAll().split('\n'))
        if (line.contains("/dev/shm/sonvale_ring")) out.push_back(line.split(' ').value(1).toStdString());
    std::sort(out.begin(), out.end());
    return out;
}

// The engine's pace on the main thread: 10 ms of a constant every 10 ms.
class Pacer {
public:
    Pacer(RingWriter& ring, float value) {
        QObject::connect(&timer_, &QTimer::timeout, [&ring, value] { ring.writeConstant(value, 480); });
        timer_.start(10);
    }

private:
    QTimer timer_;
};

// (That an unsized ring is not attached is the ring's own test.)
TEST(AudioMonitor, WaitsForTheRingWatchesItReadOnlyFallsSilentWhenItStopsAndFollowsANewOne) {
    AudioMonitor m;
    m.start();
    m.start();  // harmless while waiting
    EXPECT_FALSE(m.isRunning());
    auto first = std::make_unique<RingWriter>();
    auto pace = std::make_unique<Pacer>(*first, 0.5f);
    ASSERT_TRUE(waitUntil([&] { return m.isRunning() && m.level() > 0.5 && m.isReceiving(); }));
    EXPECT_EQ(ringMappings(), (std::vector<std::string>{"r--s", "rw-s"}));
    EXPECT_EQ(SVRing_ReadIndex(&first->handle()), 0u);  // a pure observer

    pace.reset();  // the writer stops: what it left in the ring is not sound
    EXPECT_TRUE(waitUntil([&] { return m.level() < 0.01 && !m.isReceiving(); }));
    first.reset();
    RingWriter second;  // the engine started anew: a fresh ring
    pace = std::make_unique<Pacer>(second, 0.5f);
    EXPECT_TRUE(waitUntil([&] { return m.isRunning() && m.level() > 0.5; }));
    pace.reset();
    ::shm_unlink(SVRING_NAME);  // and then the ring is gone
    EXPECT_TRUE(waitUntil([&] { return !m.isRunning() && m.level() < 0.01; }));

    QSignalSpy levels(&m, &AudioMonitor::levelChanged);
    m.stop();
    EXPECT_FALSE(m.isRunning());
    EXPECT_EQ(m.level(), 0.0);
    EXPECT_EQ(ringMappings(), std::vector<std::string>{"rw-s"});  // only the writer's
    spin(200ms);
    EXPECT_EQ(levels.size(), 1);  // no timer left

    m.start();
    RingWriter third;
    Pacer loud(third, 1.0f);
    EXPECT_TRUE(waitUntil([&] { return m.level() > 0.9; }));
}

int playbackStreams(const testsupport::SoundServer& pulse) {
    const std::string list = pulse.pactl("list sink-inputs short");
    return static_cast<int>(std::count(list.begin(), list.end(), '\n'));
}

// The sink's output for a while, recorded while the event loop runs.
std::vector<float> record(const std::string& dir, std::chrono::milliseconds duration) {
    const std::string file = dir + "/recording.raw";
    testsupport::ChildProcess p(
        "timeout",
        {"-s", "INT", std::to_string(double(duration.count()) / 1000), "parecord", "-d", "test_sink.monitor",
         "--raw", "--format=float32le", "--rate=48000", "--channels=2", "--latency-msec=20", file});
    waitUntil([&] { return p.waitForExit(0ms).has_value(); }, duration + 20s);
    std::ifstream in(file, std::ios::binary);
    std::vector<float> out;
    for (float f = 0; in.read(reinterpret_cast<char*>(&f), sizeof f);)
        out.push_back(f);
    return out;
}

TEST(TestPlaybackOnSoundServer, PlaysOnlyTheRingsNewAudioAndStopsWhenTurnedOff) {
    testsupport::SoundServer pulse;
    ASSERT_TRUE(pulse.start());
    RingWriter ring;
    ring.writeConstant(1.0f, 48000);  // old, loud audio: never played
    std::atomic<bool> writing{true};
    std::thread writer([&] {  // the engine's pace: 440 Hz left, 1 kHz right, 10 ms every 10 ms
        auto next = std::chrono::steady_clock::now();
        for (uint64_t n = 0; writing;) {
            std::vector<float> block(480 * 2);
            for (size_t i = 0; i < 480; ++i, ++n) {
                block[2 * i] = float(0.5 * std::sin(2 * M_PI * 440.0 * double(n) / 48000.0));
                block[2 * i + 1] = float(0.25 * std::sin(2 * M_PI * 1000.0 * double(n) / 48000.0));
            }
            ring.write(block);
            std::this_thread::sleep_until(next += 10ms);
        }
    });

    AudioMonitor m;
    const int idle = playbackStreams(pulse);
    m.start();
    m.setTesting(true);
    EXPECT_EQ(playbackStreams(pulse), idle + 1);
    spin(500ms);
    const std::vector<float> on = record(pulse.dir(), 2000ms);
    m.setTesting(false);
    spin(300ms);
    const std::vector<float> off = record(pulse.dir(), 1000ms);
    writing = false;
    writer.join();

    ASSERT_GT(on.size(), 48000u * 2);
    EXPECT_FALSE(testsupport::firstLoudFrame(on, 0, 0, 0.6f));  // nothing of the old audio
    EXPECT_NEAR(testsupport::frequency(on, 0, 0, on.size() / 2), 440, 60);
    EXPECT_NEAR(testsupport::frequency(on, 1, 0, on.size() / 2), 1000, 150);
    EXPECT_NEAR(testsupport::rms(on, 0, 0, on.size() / 2), 0.5 / std::sqrt(2), 0.15);
    ASSERT_FALSE(off.empty());
    EXPECT_LT(testsupport::rms(off, 0, 0, off.size() / 2), 1e-4);
    EXPECT_EQ(playbackStreams(pulse), idle);
}

}  // namespace
