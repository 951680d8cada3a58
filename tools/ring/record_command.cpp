#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "json_object.h"
#include "ring_follower.h"
#include "signal_watch.h"
#include "status_line.h"
#include "wav_writer.h"

namespace {
using Clock = std::chrono::steady_clock;
// The ring holds one second; a poll every 10 ms keeps far ahead of the writer.
constexpr auto kPeriod = std::chrono::milliseconds(10);
constexpr auto kStatusPeriod = std::chrono::milliseconds(250);
}  // namespace

int runRecord(const RecordOptions& o, SignalWatch& signals) {
    std::string error;
    WavWriter wav;
    if (!wav.open(o.path, error)) {
        std::fprintf(stderr, "sonvale-ring: %s\n", error.c_str());
        return kRingFailed;
    }
    RingFollower follower(o.consume ? RingFollower::Mode::Consume : RingFollower::Mode::LookOnly);
    StatusLine line(stderr);
    std::vector<float> frames;
    // The length counts audio, not time: pauses and the wait for the engine are not part of it.
    const auto limit = static_cast<uint64_t>(std::llround(o.seconds * 48000.0));
    auto nextPoll = Clock::now();
    auto nextStatus = nextPoll;
    bool everAttached = false;
    bool ok = true;

    for (;;) {
        const bool stop = signals.stopRequested();
        frames.clear();
        const RingFollower::Progress p = follower.poll(frames);
        everAttached = everAttached || p.attached;
        size_t count = frames.size() / 2;
        if (limit > 0) count = static_cast<size_t>(std::min<uint64_t>(count, limit - wav.framesWritten()));
        if (!wav.write(frames.data(), count, error)) {
            ok = false;
            break;
        }
        if (stop || (limit > 0 && wav.framesWritten() == limit)) break;

        const auto now = Clock::now();
        if (now >= nextStatus) {
            char text[256];
            std::snprintf(
                text, sizeof text, "recording %s  %.1f s of audio  %s", o.path.c_str(),
                static_cast<double>(wav.framesWritten()) / 48000.0,
                p.attached ? (o.consume ? "(consuming)" : "(looking)") : "(waiting for the engine)");
            line.show(text);
            nextStatus = now + kStatusPeriod;
        }
        // Absolute pacing: the period does not stretch by the time the work took.
        nextPoll += kPeriod;
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextPoll - Clock::now());
        if (wait.count() > 0) signals.sleepFor(static_cast<int>(wait.count()));
    }
    line.clear();

    std::string closeError;
    if (!wav.close(closeError) && ok) {
        error = closeError;
        ok = false;
    }
    if (!ok) {
        std::fprintf(stderr, "sonvale-ring: %s\n", error.c_str());
        return kRingFailed;
    }
    if (!everAttached)
        std::fprintf(stderr, "sonvale-ring: no engine appeared; %s holds no audio\n", o.path.c_str());

    const double seconds = static_cast<double>(wav.framesWritten()) / 48000.0;
    if (o.json) {
        JsonObject json;
        json.text("path", o.path)
            .text("mode", o.consume ? "consume" : "look")
            .integer("frames", wav.framesWritten())
            .number("seconds", seconds, 3)
            .integer("framesLost", follower.framesLost())
            .integer("restartsFollowed", follower.restartsFollowed());
        std::printf("%s\n", json.str().c_str());
    } else {
        std::printf("%s: %" PRIu64 " frames (%.2f s) recorded, %" PRIu64 " lost to overwriting, %" PRIu64
                    " engine restarts followed\n",
                    o.path.c_str(), wav.framesWritten(), seconds, follower.framesLost(),
                    follower.restartsFollowed());
    }
    return kRingOk;
}
