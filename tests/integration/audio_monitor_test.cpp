// The audio monitor against a ring written by the ring library in the test (the
// engine's writing side), and its test playback into a real PulseAudio server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <QFile>
#include <QSignalSpy>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "audio_monitor.h"
#include "services_fixture.h"
#include "sv_ring.h"

namespace {

using namespace servicestest;

// The engine's side of the ring.
class RingWriter {
public:
    RingWriter() { ok_ = SVRing_OpenWriter(&h_); }
    ~RingWriter() { SVRing_Close(&h_); }
    bool ok() const { return ok_; }
    void write(const std::vector<float>& interleaved) {
        SVRing_Write(&h_, interleaved.data(), interleaved.size() / 2);
    }
    void writeConstant(size_t frames, float left, float right) {
        std::vector<float> v(frames * 2);
        for (size_t i = 0; i < frames; ++i) {
            v[2 * i] = left;
            v[2 * i + 1] = right;
        }
        write(v);
    }
    uint64_t readIndex() const {
        return __atomic_load_n(reinterpret_cast<const uint64_t*>(static_cast<char*>(h_.base) + 8),
                               __ATOMIC_ACQUIRE);
    }

private:
    SVRingHandle h_{-1, nullptr};
    bool ok_ = false;
};

// The ring's mappings in this process, as "r--s"-style permission strings; the
// test's own writer adds one "rw-s".
std::vector<std::string> ringMappings() {
    std::vector<std::string> out;
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly)) return out;
    for (const QByteArray& line : maps.readAll().split('\n'))
        if (line.endsWith("/dev/shm/sonvale_ring") || line.contains("/dev/shm/sonvale_ring (deleted)"))
            out.push_back(line.split(' ').value(1).toStdString());
    return out;
}

std::vector<double> values(const QSignalSpy& spy) {
    std::vector<double> out;
    for (const QList<QVariant>& args : spy)
        out.push_back(args.at(0).toDouble());
    return out;
}

TEST(AudioMonitor, AFullScaleSignalRisesHalfTheWayPerTick) {
    RingWriter ring;
    ASSERT_TRUE(ring.ok());
    ring.writeConstant(960, 1.0f, -1.0f);
    AudioMonitor m;
    QSignalSpy levels(&m, &AudioMonitor::levelChanged);
    QSignalSpy dbs(&m, &AudioMonitor::dbChanged);
    m.start();
    EXPECT_TRUE(m.isRunning());
    ASSERT_TRUE(waitUntil([&] { return levels.size() >= 4; }));
    m.stop();
    const std::vector<double> l = values(levels);
    EXPECT_DOUBLE_EQ(l[0], 0.5);
    EXPECT_DOUBLE_EQ(l[1], 0.75);
    EXPECT_DOUBLE_EQ(l[2], 0.875);
    EXPECT_DOUBLE_EQ(l[3], 0.9375);
    EXPECT_DOUBLE_EQ(values(dbs)[0], 0.0);
    EXPECT_EQ(ring.readIndex(), 0u);  // a pure observer
}

TEST(AudioMonitor, MinusThirtyDecibelsShowsHalfAndSilenceDecays) {
    RingWriter ring;
    ASSERT_TRUE(ring.ok());
    const float amplitude = static_cast<float>(std::pow(10.0, -30.0 / 20.0));
    ring.writeConstant(480, amplitude, -amplitude);
    AudioMonitor m;
    m.start();
    ASSERT_TRUE(waitUntil([&] { return std::abs(m.level() - 0.5) < 1e-3; }));
    EXPECT_NEAR(m.db(), -30.0, 1e-3);

    QSignalSpy levels(&m, &AudioMonitor::levelChanged);
    ring.writeConstant(480, 0.0f, 0.0f);
    ASSERT_TRUE(waitUntil([&] { return levels.size() >= 6; }));
    const std::vector<double> l = values(levels);
    for (size_t i = 2; i < l.size(); ++i)
        EXPECT_NEAR(l[i], l[i - 1] * 0.85, 1e-9);  // 15 % per tick
    EXPECT_EQ(m.db(), -80.0);
}

TEST(AudioMonitor, WaitsForTheRingAndMapsItWhenItAppears) {
    AudioMonitor m;
    QSignalSpy running(&m, &AudioMonitor::isRunningChanged);
    m.start();
    m.start();  // harmless while waiting
    EXPECT_FALSE(m.isRunning());
    EXPECT_TRUE(running.isEmpty());

    // A writer that has created the object but not yet sized it: still waiting, no crash.
    const int raw = ::shm_open(SVRING_NAME, O_RDWR | O_CREAT, 0600);
    ASSERT_GE(raw, 0);
    spin(1500ms);
    EXPECT_FALSE(m.isRunning());
    ::close(raw);

    RingWriter ring;  // replaces the empty object
    ASSERT_TRUE(ring.ok());
    ring.writeConstant(480, 0.5f, 0.5f);
    ASSERT_TRUE(waitUntil([&] { return m.isRunning(); }, 3s));
    EXPECT_TRUE(waitUntil([&] { return m.level() > 0; }));
    EXPECT_EQ(ringMappings(), (std::vector<std::string>{"r--s", "rw-s"}));  // the monitor's is read-only
}

TEST(AudioMonitor, StopReleasesEverythingAndStartMapsTheNewRing) {
    auto first = std::make_unique<RingWriter>();
    ASSERT_TRUE(first->ok());
    first->writeConstant(480, 1.0f, 1.0f);
    AudioMonitor m;
    m.start();
    ASSERT_TRUE(waitUntil([&] { return m.level() > 0.99; }));
    m.start();  // harmless while metering
    EXPECT_EQ(ringMappings(), (std::vector<std::string>{"r--s", "rw-s"}));

    // The engine restarts: a new ring, silent so far. The monitor follows it.
    first.reset();
    RingWriter second;
    ASSERT_TRUE(second.ok());
    second.writeConstant(480, 0.0f, 0.0f);
    EXPECT_TRUE(waitUntil([&] { return m.level() < 0.5; }));
    EXPECT_TRUE(m.isRunning());
    EXPECT_EQ(ringMappings(), (std::vector<std::string>{"r--s", "rw-s"}));

    QSignalSpy running(&m, &AudioMonitor::isRunningChanged);
    QSignalSpy levels(&m, &AudioMonitor::levelChanged);
    m.stop();
    EXPECT_FALSE(m.isRunning());
    EXPECT_EQ(m.level(), 0.0);
    EXPECT_EQ(m.db(), -80.0);
    EXPECT_EQ(running.size(), 1);
    EXPECT_EQ(values(levels), std::vector<double>{0.0});
    EXPECT_EQ(ringMappings(), std::vector<std::string>{"rw-s"});  // only the writer's
    spin(200ms);
    EXPECT_EQ(levels.size(), 1);  // no timer left

    m.start();
    EXPECT_TRUE(m.isRunning());
    spin(200ms);
    EXPECT_EQ(m.level(), 0.0);
    EXPECT_EQ(m.db(), -80.0);
    second.writeConstant(480, 1.0f, 1.0f);
    EXPECT_TRUE(waitUntil([&] { return m.level() > 0.9; }));
    EXPECT_EQ(second.readIndex(), 0u);
}

// Goertzel: amplitude of one frequency in a mono signal.
double amplitudeAt(const std::vector<float>& x, double hz) {
    const double w = 2.0 * M_PI * hz / 48000.0;
    double re = 0, im = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        re += x[i] * std::cos(w * double(i));
        im -= x[i] * std::sin(w * double(i));
    }
    return 2.0 * std::sqrt(re * re + im * im) / double(x.size());
}

class TestPlaybackTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pulse.started()); }

    // Records the null sink's output for the given time while the event loop runs.
    std::vector<float> record(std::chrono::milliseconds duration) {
        const std::string file = pulse.dir() + "/recording.raw";
        QProcess p;
        p.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"),
                 QString::fromStdString(". " + shellQuote(pulse.dir() + "/env") + " && exec timeout -s INT " +
                                        std::to_string(duration.count() / 1000.0) +
                                        " parecord -d test_sink.monitor --raw --format=float32le --rate=48000"
                                        " --channels=2 --latency-msec=20 " +
                                        shellQuote(file))});
        waitUntil([&] { return p.state() == QProcess::NotRunning; }, duration + 5s);
        QFile f(QString::fromStdString(file));
        if (!f.open(QIODevice::ReadOnly)) return {};
        const QByteArray bytes = f.readAll();
        std::vector<float> out(size_t(bytes.size()) / sizeof(float));
        std::memcpy(out.data(), bytes.constData(), out.size() * sizeof(float));
        return out;
    }

    int playbackStreams() {
        const CommandResult r = pulse.command("pactl list sink-inputs short");
        return static_cast<int>(std::count(r.out.begin(), r.out.end(), '\n')) - 1;  // minus the keep-alive
    }

    PulseServer pulse;
};

TEST_F(TestPlaybackTest, PlaysTheRingsNewAudioIntoTheDefaultOutput) {
    RingWriter ring;
    ASSERT_TRUE(ring.ok());
    ring.writeConstant(48000, 1.0f, -1.0f);  // old audio, loud: must never be played

    // The engine's pace: 10 ms of 440 Hz left, 1 kHz right, every 10 ms.
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        uint64_t n = 0;
        auto next = std::chrono::steady_clock::now();
        while (writing) {
            std::vector<float> block(480 * 2);
            for (size_t i = 0; i < 480; ++i, ++n) {
                block[2 * i] = float(0.5 * std::sin(2 * M_PI * 440.0 * double(n) / 48000.0));
                block[2 * i + 1] = float(0.25 * std::sin(2 * M_PI * 1000.0 * double(n) / 48000.0));
            }
            ring.write(block);
            next += 10ms;
            std::this_thread::sleep_until(next);
        }
    });

    AudioMonitor m;
    m.setTesting(true);  // not metering yet: only the flag
    m.start();
    spin(300ms);
    EXPECT_TRUE(m.isTesting());
    EXPECT_EQ(playbackStreams(), 0);  // metering does not start playback by itself

    m.setTesting(true);
    EXPECT_EQ(playbackStreams(), 1);
    spin(500ms);
    std::vector<float> on = record(2000ms);
    m.setTesting(false);
    spin(300ms);
    std::vector<float> off = record(1000ms);
    writing = false;
    writer.join();
    m.stop();

    ASSERT_GT(on.size(), 48000u * 2);
    std::vector<float> left, right;
    for (size_t i = 0; i + 1 < on.size(); i += 2) {
        left.push_back(on[i]);
        right.push_back(on[i + 1]);
    }
    float peak = 0;
    for (float v : on)
        peak = std::max(peak, std::abs(v));
    RecordProperty("left_440_amplitude_x1000", int(amplitudeAt(left, 440) * 1000));
    RecordProperty("right_1000_amplitude_x1000", int(amplitudeAt(right, 1000) * 1000));
    EXPECT_LT(peak, 0.6f);  // the loud audio that was in the ring before was not played
    EXPECT_NEAR(amplitudeAt(left, 440), 0.5, 0.1);
    EXPECT_NEAR(amplitudeAt(right, 1000), 0.25, 0.05);
    EXPECT_LT(amplitudeAt(left, 1000), 0.02);
    EXPECT_LT(amplitudeAt(right, 440), 0.02);

    ASSERT_FALSE(off.empty());
    float offPeak = 0;
    for (float v : off)
        offPeak = std::max(offPeak, std::abs(v));
    EXPECT_LT(offPeak, 1e-4f);  // turned off: silence
    EXPECT_EQ(playbackStreams(), 0);
}

TEST(TestPlaybackFailure, AnOutputThatCannotStartIsLoggedAndTheWishKept) {
    qputenv("PULSE_SERVER", "unix:/nonexistent/native");
    LogCapture log;
    RingWriter ring;
    ASSERT_TRUE(ring.ok());
    AudioMonitor m;
    m.start();
    m.setTesting(true);
    EXPECT_TRUE(m.isTesting());
    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 1u) << log.text();
    EXPECT_EQ(lines[0].rfind("Sonvale: playback engine start failed: ", 0), 0u) << lines[0];
    EXPECT_TRUE(m.isRunning());
}

}  // namespace
