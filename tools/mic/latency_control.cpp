// The held-back time saw-tooths by a packet (20 ms) as the engine writes whole
// packets and the sound server takes smaller requests, so the loop acts on the
// mean over a control period of 100 ms rather than on single readings.
//
// Loop: d(held)/dt = (sender rate − ratio) × 1000 ms/s. With
// ratio − 1 = kP·e + kI·∫e (e = mean held − target, in ms) the closed loop is
// s² + 1000·kP·s + 1000·kI = 0; kP = 2e-4 and kI = 1e-5 make it critically damped
// with a time constant of about 10 s, slow enough that the ±0.1 % the ratio may
// move stays unsaturated for drifts of a few hundred ppm (a 0.05 % offset lifts
// the held-back time by about 2 ms before the integral has learnt it) and that
// jitter moves the ratio by a few hundredths of a percent at most.
#include "latency_control.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr double kPeriodMs = 100;
constexpr double kP = 2e-4;         // per ms
constexpr double kI = 1e-5;         // per ms·s
constexpr double kSmoothing = 0.3;  // per period: a time constant of about 0.3 s
// A settling period's mean this close above the target is left to the loop.
constexpr double kSettleToleranceMs = 1;

uint64_t framesFor(double ms, double rate) {
    return static_cast<uint64_t>(std::llround(ms * rate / 1000.0));
}
}  // namespace

LatencyControl::LatencyControl(const LatencyConfig& config)
    : rate_(config.sampleRate),
      target_(framesFor(config.targetMs, config.sampleRate)),
      excess_(framesFor(config.excessMs, config.sampleRate)),
      packet_(framesFor(config.packetMs, config.sampleRate)),
      maxAdjust_(config.maxAdjust),
      period_(framesFor(kPeriodMs, config.sampleRate)) {}

LatencyControl::Step LatencyControl::plan(uint64_t held, size_t outFrames) {
    // The readings come just before each request, and packets arrive in between:
    // the mean of this reading and the one left after the previous request is the
    // better estimate of what was held over the interval.
    const double interval = (static_cast<double>(held) + afterPrevious_) / 2;
    statusFrames_ += outFrames;
    statusHeldSum_ += interval * static_cast<double>(outFrames);

    Step step;
    if (!playing_) {
        afterPrevious_ = static_cast<double>(held);
        // Waiting for the top of the saw-tooth's worth, so that the start needs no
        // slowing down to reach the target.
        if (held < keepAfterCut(outFrames)) return step;
        // Starting from silence begins at the newest frames: whatever lies above
        // the target is old (a pause, a burst, a ring nobody read) and is skipped
        // where no cut can be heard. Not a correction: nothing played is lost.
        playing_ = true;
        step.skip = held - std::min(held, keepAfterCut(outFrames));
        startPeriod();
        settling_ = true;
        silentSettling_ = fresh_;
        fresh_ = false;
    } else if (realign_) {
        // The sound server already played a gap for us: cutting the time it left
        // in the ring costs nothing audible now.
        if (held > target_ + packet_) cutTo(held, outFrames, step);
        startPeriod();
    } else {
        periodFrames_ += outFrames;
        periodHeldSum_ += interval * static_cast<double>(outFrames);
        periodMinHeld_ = std::min(periodMinHeld_, held);
        if (periodFrames_ >= period_) endPeriod(held, step);
    }
    realign_ = false;
    step.play = true;
    step.silent = settling_ && silentSettling_;
    step.ratio = ratio_;
    noteConsumed(held, step, outFrames);
    return step;
}

// The reading comes right after a burst, the top of the saw-tooth, so what stays
// is the target plus half a packet and half a request: then the target is the mean.
uint64_t LatencyControl::keepAfterCut(size_t outFrames) const {
    return target_ + packet_ / 2 + outFrames / 2;
}

void LatencyControl::cutTo(uint64_t held, size_t outFrames, Step& step) {
    const uint64_t keep = keepAfterCut(outFrames);
    if (held <= keep) return;
    step.drop = held - keep;
    ++corrections_;
    droppedFrames_ += step.drop;
}

void LatencyControl::startPeriod() {
    periodFrames_ = 0;
    periodHeldSum_ = 0;
    periodMinHeld_ = UINT64_MAX;
}

void LatencyControl::serverUnderflow() {
    ++serverGaps_;
    if (playing_) realign_ = true;
}

void LatencyControl::noteConsumed(uint64_t held, const Step& step, size_t outFrames) {
    const double consumed =
        static_cast<double>(step.skip + step.drop) + step.ratio * static_cast<double>(outFrames);
    afterPrevious_ = std::max(0.0, static_cast<double>(held) - consumed);
}

void LatencyControl::endPeriod(uint64_t held, Step& step) {
    const double periodSeconds = static_cast<double>(periodFrames_) / rate_;
    const double meanHeld = periodHeldSum_ / static_cast<double>(periodFrames_);
    const uint64_t minHeld = periodMinHeld_;
    startPeriod();

    if (settling_) {
        settling_ = false;
        const double above = meanHeld - static_cast<double>(target_);
        if (above <= 0 || (!silentSettling_ && above * 1000.0 / rate_ <= kSettleToleranceMs)) return;
        // Part of the start, like the skip: not a correction. After silence nothing
        // was heard, so the frames are skipped outright rather than cross-faded.
        const uint64_t cut = std::min(static_cast<uint64_t>(above), held - std::min(held, target_ / 2));
        (silentSettling_ ? step.skip : step.drop) = cut;
        return;
    }

    if (minHeld > target_ + excess_) {
        // Late by more than resampling could make up soon: drop the mean down to the
        // target (the burst came before this period, so its mean is the level now).
        // The integral keeps what it learnt about the sender's clock.
        step.drop = std::min(static_cast<uint64_t>(meanHeld) - target_, held - target_ / 2);
        ++corrections_;
        droppedFrames_ += step.drop;
        return;
    }

    const double errorMs = (meanHeld - static_cast<double>(target_)) * 1000.0 / rate_;
    // Jitter moves single periods' means by a few ms; the proportional term acts on
    // a smoothed error so that the ratio glides instead of twitching.
    smoothedErrorMs_ += kSmoothing * (errorMs - smoothedErrorMs_);
    const double proposed = kP * smoothedErrorMs_ + kI * (integral_ + errorMs * periodSeconds);
    // Anti-windup: the integral grows only while the ratio is not held at a limit.
    if (std::abs(proposed) <= maxAdjust_) integral_ += errorMs * periodSeconds;
    ratio_ = 1.0 + std::clamp(kP * smoothedErrorMs_ + kI * integral_, -maxAdjust_, maxAdjust_);
}

void LatencyControl::reportShortfall() {
    if (!playing_) return;
    playing_ = false;
    ++underruns_;
}

void LatencyControl::reset() {
    playing_ = false;
    ratio_ = 1.0;
    integral_ = 0;
    smoothedErrorMs_ = 0;
    afterPrevious_ = 0;
    realign_ = false;
    settling_ = false;
    fresh_ = true;
    startPeriod();
}

double LatencyControl::takeMeanHeldMs() {
    if (statusFrames_ == 0) return -1;
    const double mean = statusHeldSum_ / static_cast<double>(statusFrames_) * 1000.0 / rate_;
    statusFrames_ = 0;
    statusHeldSum_ = 0;
    return mean;
}
