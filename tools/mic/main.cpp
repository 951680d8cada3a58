// sonvale-mic: the ring's consuming reader. Publishes the "Tarnwell" microphone
// on the sound server and, while a program records from it, hands it the phone's
// audio from the ring, keeping the held-back time near a small target.
#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>

#include "console.h"
#include "instance_lock.h"
#include "mic_bridge.h"
#include "mic_feed.h"
#include "mic_status.h"
#include "notify_socket.h"
#include "options.h"
#include "realtime.h"
#include "ring_reader.h"
#include "signal_watch.h"
#include "sonvale_protocol.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using tool_options::addRanged;

constexpr const char* kLockPath = "/dev/shm/sonvale-mic.lock";
constexpr auto kRingCheckInterval = 100ms;
constexpr auto kStatusInterval = 1s;
constexpr auto kShutdownLimit = 3s;
constexpr int kPollTimeoutUs = 100000;

struct Options {
    LatencyConfig latency;
    double maxAdjustPercent = 0.1;
    MicBridge::Config bridge;
    bool statusLines = false;
};

struct MainloopFree {
    void operator()(pa_mainloop* m) const { pa_mainloop_free(m); }
};

// A stop signal wakes the main loop's poll at once: its descriptor is one of
// the loop's inputs.
class StopWatch {
public:
    StopWatch(pa_mainloop_api* api, SignalWatch& signals)
        : api_(api),
          event_(signals.fd() < 0 ? nullptr
                                  : api->io_new(api, signals.fd(), PA_IO_EVENT_INPUT, onInput, &signals)) {}
    ~StopWatch() {
        if (event_ != nullptr) api_->io_free(event_);
    }
    StopWatch(const StopWatch&) = delete;
    StopWatch& operator=(const StopWatch&) = delete;

private:
    static void onInput(pa_mainloop_api*, pa_io_event*, int, pa_io_event_flags_t, void* signals) {
        static_cast<SignalWatch*>(signals)->stopRequested();  // drains the descriptor
    }

    pa_mainloop_api* api_;
    pa_io_event* event_;
};

MicStatus collectStatus(MicFeed& feed, const RingReader& ring, const MicBridge& bridge, double targetMs) {
    LatencyControl& control = feed.control();
    MicStatus s;
    const double held = control.takeMeanHeldMs();
    s.heldMs = held < 0 ? 0 : held;
    s.targetMs = targetMs;
    s.ratio = control.ratio();
    s.corrections = control.corrections();
    s.droppedMs = static_cast<double>(control.droppedFrames()) / 48.0;
    s.underruns = control.underruns();
    s.serverGaps = control.serverGaps();
    s.ringAttached = ring.attached();
    s.device = bridge.describe();
    return s;
}

int run(const Options& options) {
    Console console(options.statusLines          ? Console::StatusMode::lines
                    : isatty(STDOUT_FILENO) != 0 ? Console::StatusMode::live
                                                 : Console::StatusMode::off);
    InstanceLock lock;
    switch (lock.acquire(kLockPath)) {
        case InstanceLock::Result::acquired:
            break;
        case InstanceLock::Result::heldByAnother:
            console.error("another sonvale-mic is already running (it holds " + std::string(kLockPath) + ")");
            return 3;
        case InstanceLock::Result::failed:
            console.error("cannot take the instance lock: " + lock.error());
            return 1;
    }

    SignalWatch signals;
    std::signal(SIGPIPE, SIG_IGN);
    console.event("Running at " + raiseToRealtime());
    std::unique_ptr<pa_mainloop, MainloopFree> mainloop(pa_mainloop_new());
    if (!mainloop) {
        console.error("cannot create the sound-server main loop");
        return 1;
    }
    RingReader ring;
    MicFeed feed(ring, options.latency);
    MicBridge bridge(pa_mainloop_get_api(mainloop.get()), feed, options.bridge,
                     [&console](const std::string& line) { console.event(line); });
    NotifySocket notify;
    StopWatch stopWatch(pa_mainloop_get_api(mainloop.get()), signals);

    bool ready = false;
    bool stopping = false;
    Clock::time_point stopDeadline{};
    Clock::time_point nextRingCheck = Clock::now();
    Clock::time_point nextStatus = Clock::now() + kStatusInterval;
    while (true) {
        const Clock::time_point now = Clock::now();
        if (!stopping && signals.stopRequested()) {
            stopping = true;
            stopDeadline = now + kShutdownLimit;
            notify.send("STOPPING=1");
            bridge.shutdown();
        }
        if (stopping && (bridge.finished() || now >= stopDeadline)) break;
        if (!stopping) bridge.tick(now);

        if (now >= nextRingCheck) {
            nextRingCheck = now + kRingCheckInterval;
            switch (ring.refresh()) {
                case RingReader::Change::attached:
                    feed.reset();
                    console.event("Ring attached");
                    break;
                case RingReader::Change::reattached:
                    feed.reset();
                    console.event("Ring replaced by a new engine; re-attached");
                    break;
                case RingReader::Change::none:
                    break;
            }
        }
        if (!ready && bridge.settled()) {
            ready = true;
            notify.send("READY=1");
        }
        if (now >= nextStatus) {
            nextStatus += kStatusInterval;
            if (nextStatus < now) nextStatus = now + kStatusInterval;
            const std::string line =
                formatMicStatus(collectStatus(feed, ring, bridge, options.latency.targetMs));
            console.status(line);
            notify.send("STATUS=" + line);
        }

        if (pa_mainloop_prepare(mainloop.get(), kPollTimeoutUs) < 0) break;
        if (pa_mainloop_poll(mainloop.get()) < 0) break;
        if (pa_mainloop_dispatch(mainloop.get()) < 0) break;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"sonvale-mic publishes the \"" + std::string(sonvale::kDeviceName) +
                     "\" microphone (source " + sonvale::kDeviceUID +
                     ") on the\n"
                     "sound server (PulseAudio or PipeWire) and plays the phone's audio from the\n"
                     "engine's shared ring into it. It removes the device when it exits (SIGINT, SIGTERM).\n"
                     "Needs no arguments; the sound server must run on this machine.",
                 "sonvale-mic"};
    app.get_formatter()->column_width(22);
    addRanged(app, "--target", options.latency.targetMs, 10.0, 500.0, "Held-back time to keep, in ms")
        ->option_text("MS");
    addRanged(app, "--excess", options.latency.excessMs, 5.0, 1000.0,
              "Held-back time above the target that is dropped at once\n"
              "rather than resampled away, in ms")
        ->option_text("MS");
    addRanged(app, "--max-adjust", options.maxAdjustPercent, 0.01, 5.0,
              "Largest resampling step for a phone whose clock runs fast\n"
              "or slow, in percent")
        ->option_text("PERCENT");
    addRanged(app, "--latency", options.bridge.latencyMs, 5.0, 500.0,
              "Least audio kept ahead of a PipeWire server, in ms;\n"
              "it grows to cover the server's cycle (PulseAudio\ntakes the audio as it comes)")
        ->option_text("MS");
    app.add_option("--server", options.bridge.server,
                   "Sound server to publish on, as PULSE_SERVER names it\n"
                   "(default: the session's)")
        ->option_text("ADDRESS");
    app.add_flag("--status", options.statusLines,
                 "Print the status line as a new line every second\n"
                 "(default: redrawn in place on a terminal, else not shown)");
    tool_options::addVersion(app, "sonvale-mic");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    options.latency.maxAdjust = options.maxAdjustPercent / 100.0;
    return run(options);
}
