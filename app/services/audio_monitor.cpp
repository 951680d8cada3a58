#include "audio_monitor.h"

#include <QTimer>

#include <algorithm>
#include <vector>

#include "system_log.h"
#include "test_playback.h"

AudioMonitor::Span AudioMonitor::playbackSpan(uint64_t cursor, uint64_t writeIndex) {
    if (writeIndex <= cursor) return {cursor, 0};
    if (writeIndex - cursor > kCatchUpLimit)
        cursor = writeIndex < kCatchUpResume ? 0 : writeIndex - kCatchUpResume;
    return {cursor, writeIndex - cursor};
}

AudioMonitor::AudioMonitor(QObject* parent) : QObject(parent) {}

AudioMonitor::~AudioMonitor() {
    release();
}

void AudioMonitor::start() {
    if (ring_.isOpen() || mapTimer_) return;
    if (tryMap()) return;
    mapTimer_ = std::make_unique<QTimer>();
    mapTimer_->setInterval(kMapRetryMs);
    connect(mapTimer_.get(), &QTimer::timeout, this,
            [this] { QMetaObject::invokeMethod(this, &AudioMonitor::retryMap, Qt::QueuedConnection); });
    mapTimer_->start();
}

bool AudioMonitor::tryMap() {
    if (!ring_.open(svring::Ring::Access::look)) return false;
    playbackCursor_ = ring_.writeIndex();
    // A ring found standing still counts as silent until it moves.
    lastWriteIndex_ = playbackCursor_;
    lastMove_ = {};
    setRunning(true);
    startMeterTimer();
    return true;
}

void AudioMonitor::retryMap() {
    if (!mapTimer_) return;  // stopped while this call was queued
    if (!ring_.isOpen() && !tryMap()) return;
    mapTimer_.reset();
}

void AudioMonitor::startMeterTimer() {
    meterTimer_ = std::make_unique<QTimer>();
    meterTimer_->setTimerType(Qt::PreciseTimer);
    meterTimer_->setInterval(kMeterIntervalMs);
    connect(meterTimer_.get(), &QTimer::timeout, this,
            [this] { QMetaObject::invokeMethod(this, &AudioMonitor::tick, Qt::QueuedConnection); });
    meterTimer_->start();
}

void AudioMonitor::tick() {
    if (!meterTimer_) return;  // stopped while this call was queued
    if (!ring_.isOpen()) {
        // The ring went away: the level decays while the new one is awaited,
        // and the meter rests once nothing is left to show.
        publish(meter_.publish(0));
        followReceiving();
        if (level_ < kRestLevel) {
            meterTimer_.reset();
            meter_.reset();
            publish({0, LevelMeter::kMinDb});
        }
        return;
    }
    if (ring_.replaced()) {
        followReplacedRing();
        return;
    }
    const double rms = measure();
    publish(meter_.publish(rms));
    followReceiving();
    if (isTesting_) pumpPlayback(lastWriteIndex_);
}

double AudioMonitor::measure() {
    // Before the first 480 frames the window's head is silence that never was
    // written: only the frames written so far count.
    const uint64_t w = ring_.copyNewest(window_.data(), LevelMeter::kWindowFrames);
    const auto now = std::chrono::steady_clock::now();
    if (w != lastWriteIndex_) {
        lastWriteIndex_ = w;
        lastMove_ = now;
    }
    // A writer that stopped leaves its last frames in the ring: they are not sound.
    if (now - lastMove_ >= kStallAfter) return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(w, LevelMeter::kWindowFrames));
    const float* newest = window_.data() + (LevelMeter::kWindowFrames - n) * SVRING_CHANNELS;
    return LevelMeter::rms(newest, n);
}

void AudioMonitor::followReplacedRing() {
    if (ring_.open(svring::Ring::Access::look)) {
        playbackCursor_ = ring_.writeIndex();
        lastWriteIndex_ = playbackCursor_;
        lastMove_ = {};
        followReceiving();
        return;
    }
    // The new ring is not there yet: wait for it as start() does, the meter
    // still ticking so that the level falls.
    ring_.close();
    setRunning(false);
    start();
}

void AudioMonitor::publish(const LevelMeter::Reading& reading) {
    level_ = reading.level;
    Q_EMIT levelChanged(level_);
    db_ = reading.db;
    Q_EMIT dbChanged(db_);
}

void AudioMonitor::setTesting(bool testing) {
    isTesting_ = testing;
    Q_EMIT isTestingChanged(isTesting_);
    applyTesting();
}

void AudioMonitor::applyTesting() {
    if (!isRunning_) return;
    if (isTesting_) {
        startPlayback();
        return;
    }
    if (playback_) {
        playback_->setVolume(0.0);
        playback_->stop();
    }
    playbackCursor_ = ring_.writeIndex();
}

void AudioMonitor::startPlayback() {
    if (!playback_) playback_ = std::make_unique<TestPlayback>();
    playbackCursor_ = ring_.writeIndex();
    playback_->setVolume(1.0);
    if (playback_->isPlaying()) return;
    if (std::optional<QString> error = playback_->start())
        SystemLog::write(QStringLiteral("playback engine start failed: ") + *error);
}

void AudioMonitor::pumpPlayback(uint64_t writeIndex) {
    if (!playback_ || !playback_->isPlaying() || !ring_.isOpen()) return;
    const Span span = playbackSpan(playbackCursor_, writeIndex);
    if (span.count == 0) return;
    const auto count = static_cast<size_t>(span.count);
    std::vector<float> frames(count * SVRING_CHANNELS);
    // Frames the writer overwrote meanwhile: the cursor stays, and the next tick's
    // larger span resumes near the writer.
    if (ring_.copyFrames(span.from, frames.data(), count) != count) return;
    playback_->write(frames.data(), count);
    playbackCursor_ = writeIndex;
}

void AudioMonitor::release() {
    mapTimer_.reset();
    meterTimer_.reset();
    if (playback_) playback_->stop();
    playback_.reset();
    ring_.close();
}

void AudioMonitor::stop() {
    release();
    followReceiving();
    setRunning(false);
    meter_.reset();
    level_ = 0;
    Q_EMIT levelChanged(level_);
    db_ = LevelMeter::kMinDb;
    Q_EMIT dbChanged(db_);
}

void AudioMonitor::followReceiving() {
    const bool receiving = ring_.isOpen() && std::chrono::steady_clock::now() - lastMove_ < kReceivingHold;
    if (receiving == isReceiving_) return;
    isReceiving_ = receiving;
    Q_EMIT isReceivingChanged(receiving);
}

void AudioMonitor::setRunning(bool running) {
    isRunning_ = running;
    Q_EMIT isRunningChanged(isRunning_);
}
