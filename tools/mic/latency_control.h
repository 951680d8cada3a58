#pragma once

#include <cstddef>
#include <cstdint>

// Settings of the latency control, in the units a user thinks in.
struct LatencyConfig {
    double sampleRate = 48000;
    double targetMs = 30;      // held-back time to keep
    double excessMs = 20;      // held-back time above the target that is dropped at once
    double maxAdjust = 0.001;  // largest deviation of the resampling ratio from 1: inaudible
    double packetMs = 20;      // the engine writes whole packets of this length
};

// Decides, for each request of the sound server, how many frames of the ring to
// consume: keeps the held-back time (frames written but not yet read) near the
// target. Pure: it sees only the held-back count and the request sizes, and uses
// the requested output frames as its clock, so tests drive it with simulated clocks.
//
// - waiting: until the held-back time reaches the target, nothing is consumed and
//   the output is silence (start, or after the ring ran dry); playing then starts
//   at the newest frames, skipping whatever lies above the target.
// - settling: the first control period after a start measures the mean held-back
//   time (one reading cannot see where on the packets' saw-tooth it lies); what
//   lies above the target is then dropped at once (cross-faded), so the speed never
//   changes to work off a start's backlog. After reset() (a recording program
//   opened the microphone, a new ring) the frames of that period are consumed but
//   silence is played: the first sound heard is at the target, a clean cut.
// - drop: when the held-back time stays above target + excess for a whole control
//   period (a prebuffer release or a burst of concealment), or lies above the
//   target by more than a packet right after the sound server had to play a gap,
//   the excess above the target is dropped at once and counted as a correction.
// - resampling: otherwise a PI loop on the mean held-back time of each period sets
//   the ratio of ring frames per output frame, within 1 ± maxAdjust; this follows a
//   sender whose clock runs slightly fast or slow (real clock drift) inaudibly.
class LatencyControl {
public:
    struct Step {
        bool play = false;    // false: output silence, consume nothing
        bool silent = false;  // consume as planned but output silence (settling)
        uint64_t skip = 0;    // ring frames to pass over before playing starts
        uint64_t drop = 0;    // ring frames to drop (cross-faded) before this request
        double ratio = 1.0;   // ring frames per output frame
    };

    explicit LatencyControl(const LatencyConfig& config);

    // Plans one request of outFrames while held frames wait in the ring.
    Step plan(uint64_t held, size_t outFrames);
    // The ring held fewer frames than the request needed: back to waiting.
    void reportShortfall();
    // The sound server ran out of our audio and played a gap (our answer came
    // late): the time that stayed in the ring is cut at the next request.
    void serverUnderflow();
    // Forgets the stream (a new ring): waiting, ratio 1. Counters are kept.
    void reset();

    uint64_t targetFrames() const { return target_; }
    double ratio() const { return ratio_; }
    bool playing() const { return playing_; }
    uint64_t corrections() const { return corrections_; }
    uint64_t droppedFrames() const { return droppedFrames_; }
    uint64_t underruns() const { return underruns_; }
    uint64_t serverGaps() const { return serverGaps_; }
    // Mean held-back time (ms) over the output since the previous call; -1 when
    // no request came since.
    double takeMeanHeldMs();

private:
    void endPeriod(uint64_t held, Step& step);
    void noteConsumed(uint64_t held, const Step& step, size_t outFrames);
    void cutTo(uint64_t held, size_t outFrames, Step& step);
    uint64_t keepAfterCut(size_t outFrames) const;
    void startPeriod();

    double rate_;
    uint64_t target_;
    uint64_t excess_;
    uint64_t packet_;
    double maxAdjust_;
    uint64_t period_;

    bool playing_ = false;
    bool realign_ = false;
    bool settling_ = false;
    bool silentSettling_ = false;
    bool fresh_ = true;  // no start since reset()
    double ratio_ = 1.0;
    double integral_ = 0;  // ms·s
    double smoothedErrorMs_ = 0;

    double afterPrevious_ = 0;  // held back right after the previous request

    // Current control period.
    uint64_t periodFrames_ = 0;
    double periodHeldSum_ = 0;  // held × output frames
    uint64_t periodMinHeld_ = UINT64_MAX;

    // Since the last takeMeanHeldMs.
    uint64_t statusFrames_ = 0;
    double statusHeldSum_ = 0;

    uint64_t corrections_ = 0;
    uint64_t droppedFrames_ = 0;
    uint64_t underruns_ = 0;
    uint64_t serverGaps_ = 0;
};
