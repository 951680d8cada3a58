#pragma once

#include <QObject>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>

#include "level_meter.h"
#include "sv_ring.hpp"

class QTimer;
class TestPlayback;

// Watches the audio that the engine writes into the shared ring: a level meter 30
// times a second and, on request, test playback of the incoming audio through the
// default output. A pure observer: the ring is mapped read-only, readIndex is
// never read, so the virtual microphone never notices the monitor.
//
// States: idle (nothing mapped, no timers) -> start() -> metering when the ring
// can be mapped, otherwise waiting (a retry every second until it can) -> stop()
// -> idle. When the engine starts anew it makes a fresh ring: the next tick
// maps that one (or waits for it), so the meter follows every engine.
//
// isReceiving: the write index moved within kReceivingHold, so a phone streams;
// it changes (and signals) only when that turns. The meter shows only audio
// that still arrives: once the write index has not
// moved for kStallAfter, or the ring is gone, it measures silence and the level
// falls to 0 with its usual decay.
//
// Main thread only. Timer firings queue their work on the main thread, so ticks
// and user actions never interleave. Every assignment of a property emits its
// change signal, also when the value stays the same.
class AudioMonitor : public QObject {
    Q_OBJECT
    Q_PROPERTY(double level READ level NOTIFY levelChanged)
    Q_PROPERTY(double db READ db NOTIFY dbChanged)
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
    Q_PROPERTY(bool isTesting READ isTesting WRITE setTesting NOTIFY isTestingChanged)
    Q_PROPERTY(bool isReceiving READ isReceiving NOTIFY isReceivingChanged)

public:
    static constexpr int kMeterIntervalMs = 1000 / 30;  // 33 ms, Qt timers count whole ms
    static constexpr int kMapRetryMs = 1000;
    static constexpr std::chrono::milliseconds kStallAfter{100};
    // Longer than a network's hiccup, so that the streaming line does not blink.
    static constexpr std::chrono::milliseconds kReceivingHold{1000};
    static constexpr double kRestLevel = 1e-3;        // below this a level is shown as 0
    static constexpr uint64_t kCatchUpLimit = 48000;  // one ring: more behind than this...
    static constexpr uint64_t kCatchUpResume = 4800;  // ...resumes 100 ms behind the writer

    // The frames that the test playback copies next, from its cursor up to the
    // write index: more than kCatchUpLimit frames behind resumes kCatchUpResume
    // behind (or at 0 when fewer were written).
    struct Span {
        uint64_t from;
        uint64_t count;
    };
    static Span playbackSpan(uint64_t cursor, uint64_t writeIndex);

    explicit AudioMonitor(QObject* parent = nullptr);
    // Releases what stop() releases, without signals.
    ~AudioMonitor() override;

    // Begins metering; does nothing while metering or waiting for the ring.
    void start();
    // Ends metering and test playback, releases the ring and the timers; level 0,
    // db -80, isRunning false. isTesting keeps its value.
    void stop();

    // Smoothed meter position, 0..1.
    double level() const { return level_; }
    // The last measurement in dB relative to full scale, never below -80.
    double db() const { return db_; }
    // The ring is mapped and the meter runs.
    bool isRunning() const { return isRunning_; }
    // Test playback wanted. Setting it while metering starts or stops playback
    // (starting from the newest audio, never replaying what is in the ring);
    // while not metering only the flag changes.
    bool isTesting() const { return isTesting_; }
    void setTesting(bool testing);
    bool isReceiving() const { return isReceiving_; }

Q_SIGNALS:
    void levelChanged(double level);
    void dbChanged(double db);
    void isRunningChanged(bool running);
    void isTestingChanged(bool testing);
    void isReceivingChanged(bool receiving);

private:
    bool tryMap();
    void retryMap();
    void startMeterTimer();
    void tick();
    void followReplacedRing();
    void applyTesting();
    void startPlayback();
    void pumpPlayback(uint64_t writeIndex);
    double measure();
    void publish(const LevelMeter::Reading& reading);
    void release();
    void setRunning(bool running);
    void followReceiving();

    svring::Ring ring_;  // look-only: never moves readIndex
    std::unique_ptr<QTimer> meterTimer_;
    std::unique_ptr<QTimer> mapTimer_;
    LevelMeter meter_;
    std::array<float, LevelMeter::kWindowFrames * SVRING_CHANNELS> window_{};  // the newest frames
    std::unique_ptr<TestPlayback> playback_;          // created on the first test playback
    uint64_t playbackCursor_ = 0;                     // running frame index up to which audio was played
    uint64_t lastWriteIndex_ = 0;                     // the write index when it last moved...
    std::chrono::steady_clock::time_point lastMove_;  // ...and when that was seen
    double level_ = 0;
    double db_ = LevelMeter::kMinDb;
    bool isRunning_ = false;
    bool isTesting_ = false;
    bool isReceiving_ = false;
};
