// End-to-end benchmark of the real engine, every figure next to its limit
// measured in the same run: the bare libopus decode of the same packets, and a
// bare receiver (select, recv, decode, copy) fed the same packets at the same pace.
//
//   throughput  datagram -> ring, flow-controlled so the socket never overflows,
//               with no control connection and with 8 idle ones
//   latency     sendto -> the ring's write index covering the packet, engine idle
//   real time   CPU per second of audio at the phone's pace, CPU while idle, peak RSS
//   growth      CPU per packet at 1x, 10x and 100x real time; the largest gap
//
// Usage: sonvale-pipeline-bench --engine PATH [--packets DUMP] [--out JSON] [--quick]
// Runs only inside scripts/sandbox.sh (fixed ports, the ring name).
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bare_decoder.h"
#include "bare_receiver.h"
#include "datagram_stream.h"
#include "engine_run.h"
#include "jitter_buffer.h"
#include "packet_set.h"
#include "results.h"
#include "stats.h"
#include "subprocess.h"
#include "timing.h"

namespace {

constexpr uint64_t kFrames = 960;
constexpr int64_t kMs = 1000000;
constexpr int64_t kSecond = 1000 * kMs;
constexpr int64_t kRealTimeInterval = 20 * kMs;
constexpr uint32_t kLargestJump = 0x7FFFFFFFu;
constexpr const char* kPin = "4711";

struct Options {
    std::string engine;
    std::string packets;
    std::string out = "pipeline.json";
    std::string phase = "all";  // or throughput, stream: one part only, while working on it
    bool quick = false;
};

// How much of everything: the full run takes about three minutes, the quick one
// (for the smoke test) a few seconds.
struct Scale {
    int throughputPackets = 5000;
    int throughputReps = 5;
    int flowWindow = 100;  // the engine's socket holds about 160 phone packets
    int latencyPackets = 10000;
    int64_t latencyInterval = 2 * kMs;
    int growthPackets = 3000;
    int gapReps = 30;
    int64_t realTime = 60 * kSecond;
    int64_t idle = 20 * kSecond;

    static Scale quick() {
        Scale s;
        s.throughputPackets = 100;
        s.throughputReps = 2;
        s.latencyPackets = 30;
        s.growthPackets = 30;
        s.gapReps = 3;
        s.realTime = kSecond;
        s.idle = kSecond / 2;
        return s;
    }
};

double us(double ns) {
    return ns / 1000.0;
}

// One receiver under measurement, the engine or the bare one: where its
// datagrams go, how many frames it has produced, its CPU time and wake-ups.
struct Target {
    DatagramStream& stream;
    std::function<uint64_t()> frames;
    std::function<int64_t()> cpuNs;
    std::function<long()> wakeups;
};

// Spins until frames() reaches want; false after timeoutNs.
bool waitForFrames(const Target& target, uint64_t want, int64_t timeoutNs) {
    const int64_t deadline = timing::now() + timeoutNs;
    for (unsigned spins = 0; target.frames() < want; ++spins) {
        __builtin_ia32_pause();
        if (spins % 256 == 0 && timing::now() > deadline) return false;
    }
    return true;
}

// Waits until frames() reaches want or stops moving for 200 ms: a receiver kept
// from the processor for long on a busy machine loses datagrams at high rates.
void settle(const Target& target, uint64_t want) {
    uint64_t last = target.frames();
    int64_t lastMove = timing::now();
    while (last < want && timing::now() - lastMove < 200 * kMs) {
        timing::sleepFor(kMs);
        const uint64_t now = target.frames();
        if (now != last) lastMove = timing::now();
        last = now;
    }
}

class Bench {
public:
    Bench(Options options, Scale scale, PacketSet packets)
        : options_(std::move(options)), scale_(scale), packets_(std::move(packets)) {}

    bool run();
    const Results& results() const { return results_; }
    const std::string& error() const { return error_; }

private:
    void measureBareDecode();
    double bareLoopNs(BareDecoder& decoder, int count, int64_t& cpuNs);
    bool measureThroughput(const std::string& key, const std::string& pin, int clients);
    bool flow(EngineRun& engine, DatagramStream& stream, int count, int64_t& wallNs);
    // decoded: instead of failing when packets are lost, count those decoded.
    bool paced(const Target& target, int count, int64_t interval, std::vector<double>* latencies,
               uint64_t* decoded = nullptr);
    bool measureStream();
    bool measureLatency(const Target& target, int count, const std::string& key);
    bool measureGrowth(const Target& engine, const Target& bare);
    bool measureGap(const Target& engine);
    bool measureRealTime(const Target& target, int64_t duration, const std::string& key);
    void measureIdle(const Target& engine, const Target& bare);
    void measureRssFloor();
    bool fail(const std::string& what) {
        error_ = phase_ + ": " + what;
        return false;
    }

    Options options_;
    Scale scale_;
    PacketSet packets_;
    Results results_;
    std::string error_;
    std::string phase_;  // what is being measured, for error messages
    double bareCpuPerPacketNs_ = 0;
};

bool Bench::run() {
    results_.set("packets.origin", packets_.origin());
    results_.set("packets.count", static_cast<double>(packets_.size()));
    results_.set("packets.mean_bytes", packets_.meanBytes());
    results_.set("quick", options_.quick ? 1.0 : 0.0);
    measureBareDecode();
    const bool all = options_.phase == "all";
    if (all || options_.phase == "throughput") {
        if (!measureThroughput("throughput.clients0", "", 0)) return false;
        if (!measureThroughput("throughput.clients8", kPin, 8)) return false;
    }
    if ((all || options_.phase == "stream") && !measureStream()) return false;
    if (all) measureRssFloor();
    return true;
}

// The limits: each packet's decode time back to back and, like the engine sees
// it, one packet after each pause; a concealment after a packet.
void Bench::measureBareDecode() {
    phase_ = "bare decode";

    BareDecoder decoder;
    std::vector<double> each;
    const int passes = std::max<int>(1, 3000 / static_cast<int>(packets_.size()));
    const int64_t cpu0 = timing::threadCpu();
    for (int p = 0; p < passes; ++p) {
        for (size_t i = 0; i < packets_.size(); ++i) {
            const int64_t t0 = timing::now();
            decoder.decode(packets_[i]);
            each.push_back(static_cast<double>(timing::now() - t0));
        }
    }
    bareCpuPerPacketNs_ = static_cast<double>(timing::threadCpu() - cpu0) / static_cast<double>(each.size());
    results_.set("bare.decode_us_p50", us(stats::median(each)));
    results_.set("bare.decode_us_p99", us(stats::percentile(each, 99)));
    results_.set("bare.decode_cpu_us_per_packet", us(bareCpuPerPacketNs_));

    std::vector<double> paced;
    const int pacedCount = std::min(scale_.latencyPackets, 2000);
    for (int i = 0; i < pacedCount; ++i) {
        timing::sleepFor(scale_.latencyInterval);
        const int64_t t0 = timing::now();
        decoder.decode(packets_[static_cast<size_t>(i)]);
        paced.push_back(static_cast<double>(timing::now() - t0));
    }
    results_.set("bare.paced_decode_us_p50", us(stats::median(paced)));
    results_.set("bare.paced_decode_us_p99", us(stats::percentile(paced, 99)));

    std::vector<double> conceal;
    for (int r = 0; r < std::max(scale_.gapReps, 5); ++r) {
        decoder.decode(packets_[static_cast<size_t>(r)]);
        const int64_t t0 = timing::now();
        decoder.conceal();
        conceal.push_back(static_cast<double>(timing::now() - t0));
    }
    results_.set("bare.conceal_us", us(stats::median(conceal)));
}

double Bench::bareLoopNs(BareDecoder& decoder, int count, int64_t& cpuNs) {
    const int64_t cpu0 = timing::threadCpu();
    const int64_t t0 = timing::now();
    for (int i = 0; i < count; ++i)
        decoder.decode(packets_[static_cast<size_t>(i)]);
    const int64_t wall = timing::now() - t0;
    cpuNs = timing::threadCpu() - cpu0;
    return static_cast<double>(wall);
}

// Keeps at most `window` packets between the socket and the ring, so the
// engine never waits for input and the socket never overflows. The sender
// yields instead of sleeping: a sleeping sender wakes too late on a busy
// machine and leaves the engine waiting.
bool Bench::flow(EngineRun& engine, DatagramStream& stream, int count, int64_t& wallNs) {
    const uint64_t base = engine.writeIndex();
    const uint64_t want = static_cast<uint64_t>(count);
    uint64_t sent = 0;
    const int64_t t0 = timing::now();
    const int64_t deadline = t0 + 60 * kSecond;
    for (;;) {
        const uint64_t done = (engine.writeIndex() - base) / kFrames;
        if (done >= want) break;
        while (sent < want && sent - done < static_cast<uint64_t>(scale_.flowWindow)) {
            if (!stream.sendNext()) return fail("sendto failed");
            ++sent;
        }
        if (timing::now() > deadline) return fail("the engine stopped taking packets");
        sched_yield();
    }
    wallNs = timing::now() - t0;
    return true;
}

bool Bench::measureThroughput(const std::string& key, const std::string& pin, int clients) {
    phase_ = key;

    EngineRun engine;
    if (!engine.start(options_.engine, pin, clients, error_)) return false;
    DatagramStream stream(packets_, EngineRun::kAudioPort);
    int64_t ignored = 0;
    if (!flow(engine, stream, 200, ignored)) return false;  // playing, warm

    BareDecoder decoder;
    std::vector<double> enginePps;
    std::vector<double> barePps;
    std::vector<double> engineCpu;
    std::vector<double> bareCpu;
    const long drops0 = udpReceiveBufferErrors();
    const double n = scale_.throughputPackets;
    for (int r = 0; r < scale_.throughputReps; ++r) {
        int64_t cpu = 0;
        barePps.push_back(n / (bareLoopNs(decoder, scale_.throughputPackets, cpu) / kSecond));
        bareCpu.push_back(static_cast<double>(cpu) / n);
        int64_t wall = 0;
        const int64_t engineCpu0 = engine.cpuNs();
        if (!flow(engine, stream, scale_.throughputPackets, wall)) return false;
        engineCpu.push_back(static_cast<double>(engine.cpuNs() - engineCpu0) / n);
        enginePps.push_back(n / (static_cast<double>(wall) / kSecond));
    }
    const long drops1 = udpReceiveBufferErrors();
    const double engineMedian = stats::median(enginePps);
    const double bareMedian = stats::median(barePps);
    results_.set(key + ".reps", scale_.throughputReps);
    results_.set(key + ".engine_pps", engineMedian);
    results_.set(key + ".bare_pps", bareMedian);
    results_.set(key + ".ratio", engineMedian / bareMedian);
    results_.set(key + ".engine_cpu_us_per_packet", us(stats::median(engineCpu)));
    results_.set(key + ".bare_cpu_us_per_packet", us(stats::median(bareCpu)));
    results_.set(key + ".cpu_ratio", stats::median(bareCpu) / stats::median(engineCpu));
    results_.set(key + ".udp_drops", drops0 < 0 || drops1 < 0 ? -1.0 : static_cast<double>(drops1 - drops0));
    const std::optional<EngineRun::Exit> exit = engine.stop();
    if (!exit || exit->status != 0) return fail("the engine did not stop cleanly after " + key);
    return true;
}

// One packet every `interval`, on an absolute schedule. With latencies, waits
// for each packet's frames and records how long they took from sendto.
bool Bench::paced(const Target& target, int count, int64_t interval, std::vector<double>* latencies,
                  uint64_t* decoded) {
    const uint64_t base = target.frames();
    const int64_t start = timing::now() + interval;
    for (int k = 0; k < count; ++k) {
        timing::sleepUntil(start + k * interval);
        const uint64_t want = target.frames() + kFrames;
        const int64_t t0 = timing::now();
        if (!target.stream.sendNext()) return fail("sendto failed");
        if (latencies != nullptr) {
            if (!waitForFrames(target, want, 5 * kSecond)) return fail("a packet was not decoded within 5 s");
            latencies->push_back(static_cast<double>(timing::now() - t0));
        }
    }
    const uint64_t all = base + static_cast<uint64_t>(count) * kFrames;
    if (decoded != nullptr) {
        settle(target, all);
        *decoded = (target.frames() - base) / kFrames;
        return true;
    }
    if (!waitForFrames(target, all, 5 * kSecond)) return fail("paced packets were not all decoded");
    return true;
}

// The engine as the application runs it (a PIN and the phone's one connection),
// each figure next to the bare receiver doing the same at the same pace.
bool Bench::measureStream() {
    phase_ = "start of the stream";

    EngineRun engine;
    if (!engine.start(options_.engine, kPin, 1, error_)) return false;
    BareReceiver bare;
    if (!bare.ok()) return fail("the bare receiver has no socket");
    DatagramStream toEngine(packets_, EngineRun::kAudioPort);
    DatagramStream toBare(packets_, bare.port());
    const Target engineTarget{toEngine, [&] { return engine.writeIndex(); }, [&] { return engine.cpuNs(); },
                              [&] { return engine.wakeups(); }};
    const Target bareTarget{toBare, [&] { return bare.frames(); }, [&] { return bare.cpuNs(); },
                            [&] { return bare.wakeups(); }};
    // The engine holds back its first packets until its jitter target is reached.
    if (!paced(engineTarget, 10, scale_.latencyInterval, nullptr)) return false;
    if (!paced(bareTarget, 10, scale_.latencyInterval, nullptr)) return false;

    if (!measureLatency(engineTarget, scale_.latencyPackets, "latency")) return false;
    if (!measureLatency(bareTarget, scale_.latencyPackets / 2, "latency.bare_receiver")) return false;
    if (!measureGrowth(engineTarget, bareTarget) || !measureGap(engineTarget)) return false;
    if (!measureRealTime(engineTarget, scale_.realTime, "realtime")) return false;
    if (!measureRealTime(bareTarget, scale_.realTime / 3, "realtime.bare_receiver")) return false;
    measureIdle(engineTarget, bareTarget);

    results_.set("rss.engine_peak_kb", static_cast<double>(engine.peakRssKb()));
    const double clockCpu = static_cast<double>(engine.cpuNs()) / kSecond;
    const std::optional<EngineRun::Exit> exit = engine.stop();
    if (!exit || exit->status != 0) return fail("the engine did not stop cleanly");
    results_.set("engine.exit_status", exit->status);
    results_.set("engine.cpu_s_by_clock", clockCpu);
    results_.set("engine.cpu_s_by_rusage", exit->cpuSeconds);
    return true;
}

bool Bench::measureLatency(const Target& target, int count, const std::string& key) {
    phase_ = key;

    std::vector<double> latency;
    if (!paced(target, count, scale_.latencyInterval, &latency)) return false;
    results_.set(key + ".packets", static_cast<double>(latency.size()));
    results_.set(key + ".interval_ms", static_cast<double>(scale_.latencyInterval) / kMs);
    results_.set(key + ".us_p50", us(stats::median(latency)));
    results_.set(key + ".us_p99", us(stats::percentile(latency, 99)));
    results_.set(key + ".us_max", us(stats::maximum(latency)));
    return true;
}

bool Bench::measureGrowth(const Target& engine, const Target& bare) {
    phase_ = "growth";

    for (const int speed : {10, 100}) {
        for (const Target* target : {&engine, &bare}) {
            const int64_t cpu0 = target->cpuNs();
            const long drops0 = udpReceiveBufferErrors();
            uint64_t decoded = 0;
            if (!paced(*target, scale_.growthPackets, kRealTimeInterval / speed, nullptr, &decoded))
                return false;
            if (decoded == 0)
                return fail("no packet was decoded at " + std::to_string(speed) + "x real time");
            // The engine conceals a lost packet, so it always plays one step per number.
            const double perPacket =
                static_cast<double>(target->cpuNs() - cpu0) / static_cast<double>(decoded);
            const std::string key =
                "growth.x" + std::to_string(speed) + "." + (target == &engine ? "" : "bare_receiver_");
            results_.set(key + "cpu_us_per_packet", us(perPacket));
            results_.set(key + "udp_drops", static_cast<double>(udpReceiveBufferErrors() - drops0));
        }
    }
    results_.set("growth.bare_cpu_us_per_packet", us(bareCpuPerPacketNs_));
    return true;
}

// The farthest jump forward a sender can make; the engine takes it as a new
// stream: a decoder reset and one decode. Each time, the bare decoder first
// does the same work, so both are measured under the same load.
bool Bench::measureGap(const Target& engine) {
    phase_ = "largest gap";
    BareDecoder decoder;
    std::vector<double> engineWall;
    std::vector<double> engineCpu;
    std::vector<double> bareWall;
    std::vector<double> bareCpu;
    for (int r = 0; r < scale_.gapReps; ++r) {
        timing::sleepFor(scale_.latencyInterval);
        const int64_t ownCpu0 = timing::threadCpu();
        const int64_t bare0 = timing::now();
        decoder.reset();
        decoder.decode(packets_[static_cast<size_t>(r)]);
        bareWall.push_back(static_cast<double>(timing::now() - bare0));
        bareCpu.push_back(static_cast<double>(timing::threadCpu() - ownCpu0));

        timing::sleepFor(scale_.latencyInterval);
        engine.stream.skip(kLargestJump);
        const uint64_t want = engine.frames() + kFrames;
        const int64_t cpu0 = engine.cpuNs();
        const int64_t t0 = timing::now();
        if (!engine.stream.sendNext()) return fail("sendto failed");
        if (!waitForFrames(engine, want, 5 * kSecond)) return fail("the gap was not absorbed");
        engineWall.push_back(static_cast<double>(timing::now() - t0));
        // The kernel adds a running thread's time to its process clock only when it
        // stops or at the next tick: read it once the engine is back in its wait.
        timing::sleepFor(2 * kMs);
        engineCpu.push_back(static_cast<double>(engine.cpuNs() - cpu0));
    }
    results_.set("gap.jump", kLargestJump);
    results_.set("gap.reps", scale_.gapReps);
    results_.set("gap.us_median", us(stats::median(engineWall)));
    results_.set("gap.us_max", us(stats::maximum(engineWall)));
    results_.set("gap.cpu_us_median", us(stats::median(engineCpu)));
    results_.set("gap.bare_us_median", us(stats::median(bareWall)));
    results_.set("gap.bare_cpu_us_median", us(stats::median(bareCpu)));
    return true;
}

bool Bench::measureRealTime(const Target& target, int64_t duration, const std::string& key) {
    phase_ = key;

    const int count = static_cast<int>(duration / kRealTimeInterval);
    std::vector<double> latency;
    const int64_t cpu0 = target.cpuNs();
    const long wakeups0 = target.wakeups();
    const int64_t t0 = timing::now();
    if (!paced(target, count, kRealTimeInterval, &latency)) return false;
    const double wall = static_cast<double>(timing::now() - t0);
    const double cpu = static_cast<double>(target.cpuNs() - cpu0);
    const double audioSeconds = count * 0.02;
    results_.set(key + ".seconds", audioSeconds);
    results_.set(key + ".cpu_percent", 100.0 * cpu / wall);
    results_.set(key + ".cpu_ms_per_audio_second", cpu / kMs / audioSeconds);
    results_.set(key + ".cpu_us_per_packet", us(cpu / count));
    results_.set(key + ".wakeups_per_second",
                 static_cast<double>(target.wakeups() - wakeups0) / (wall / kSecond));
    results_.set(key + ".latency_us_p50", us(stats::median(latency)));
    results_.set(key + ".latency_us_p99", us(stats::percentile(latency, 99)));
    results_.set(key + ".latency_us_max", us(stats::maximum(latency)));
    if (key == "realtime") {
        results_.set("realtime.bare_cpu_ms_per_audio_second", bareCpuPerPacketNs_ * 50 / kMs);
        results_.set("growth.x1.cpu_us_per_packet", us(cpu / count));
    } else {
        results_.set("growth.x1.bare_receiver_cpu_us_per_packet", us(cpu / count));
    }
    return true;
}

// Both receivers with nothing to do, side by side; the bare one is the least any
// loop that waits 20 ms at a time for a datagram can cost.
void Bench::measureIdle(const Target& engine, const Target& bare) {
    phase_ = "idle";

    const int64_t engine0 = engine.cpuNs();
    const int64_t bare0 = bare.cpuNs();
    const long engineWakeups0 = engine.wakeups();
    const long bareWakeups0 = bare.wakeups();
    const int64_t t0 = timing::now();
    timing::sleepFor(scale_.idle);
    const double wall = static_cast<double>(timing::now() - t0);
    results_.set("idle.seconds", wall / kSecond);
    results_.set("idle.cpu_percent", 100.0 * static_cast<double>(engine.cpuNs() - engine0) / wall);
    results_.set("idle.bare_receiver_cpu_percent", 100.0 * static_cast<double>(bare.cpuNs() - bare0) / wall);
    results_.set("idle.wakeups_per_second",
                 static_cast<double>(engine.wakeups() - engineWakeups0) / (wall / kSecond));
    results_.set("idle.bare_receiver_wakeups_per_second",
                 static_cast<double>(bare.wakeups() - bareWakeups0) / (wall / kSecond));
}

// The least a process that holds the ring and one decoder can occupy: a small
// program of its own that decodes the same packets into a ring-sized area.
void Bench::measureRssFloor() {
    char path[] = "/tmp/sonvale-bench-packets-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 || !packets_.writeDump(path)) {
        results_.set("rss.floor_peak_kb", -1.0);
        return;
    }
    close(fd);
    devkit::ChildProcess floor(SONVALE_RSS_FLOOR_PATH, {path}, std::string());
    floor.waitForExit(std::chrono::seconds(10));
    const std::string out = floor.out();
    unlink(path);
    results_.set("rss.floor_peak_kb", out.empty() ? -1.0 : std::atof(out.c_str()));
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--engine" && hasValue) {
            o.engine = argv[++i];
        } else if (arg == "--packets" && hasValue) {
            o.packets = argv[++i];
        } else if (arg == "--out" && hasValue) {
            o.out = argv[++i];
        } else if (arg == "--phase" && hasValue) {
            o.phase = argv[++i];
        } else if (arg == "--quick") {
            o.quick = true;
        } else {
            return false;
        }
    }
    return !o.engine.empty() && (o.phase == "all" || o.phase == "throughput" || o.phase == "stream");
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: sonvale-pipeline-bench --engine PATH [--packets DUMP] [--out JSON] [--quick]\n"
                     "                              [--phase all|throughput|stream]\n");
        return 2;
    }
    const char* sandbox = std::getenv("SONVALE_IN_SANDBOX");
    if (sandbox == nullptr || std::strcmp(sandbox, "1") != 0) {
        std::fprintf(stderr, "sonvale-pipeline-bench: run it inside scripts/sandbox.sh\n");
        return 2;
    }
    std::string error;
    std::optional<PacketSet> packets = PacketSet::load(options.packets, error);
    if (!packets) {
        std::fprintf(stderr, "sonvale-pipeline-bench: %s\n", error.c_str());
        return 2;
    }
    timing::tightenTimerSlack();
    const Scale scale = options.quick ? Scale::quick() : Scale();
    Bench bench(options, scale, std::move(*packets));
    if (!bench.run()) {
        std::fprintf(stderr, "sonvale-pipeline-bench: %s\n", bench.error().c_str());
        return 1;
    }
    if (!bench.results().write(options.out)) {
        std::fprintf(stderr, "sonvale-pipeline-bench: cannot write %s\n", options.out.c_str());
        return 1;
    }
    return 0;
}
