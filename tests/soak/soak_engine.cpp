// Soak and chaos runs against the real engine (run inside the test sandbox).
//
//   soak_engine stream SECONDS   real-time streaming with 10 % loss, 5 % reordering,
//                                2 % duplicates and 30 ms jitter
//   soak_engine abuse COUNT      COUNT control connections dropped in every state,
//                                100 × COUNT garbage datagrams and lines of every
//                                length up to and past the limit, while a phone streams
//
// Prints one line of JSON with what was measured; exits 1 when a check fails.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "engine_process.h"
#include "opus_stream.h"
#include "process_table.h"
#include "reference_receiver.h"
#include "sonvale_protocol.h"
#include "sv_ring.hpp"
#include "wait.h"

using namespace std::chrono_literals;
using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kPin = "7531";

// A phone that streams in real time with impairments and pings once a second,
// feeding what it sends, in order, to the reference receiver.
struct Phone {
    struct {
        double loss, reorder, duplicate;
        int jitterMs;
    } impairment{};
    int missedPings = 0;
    double maxPingMs = 0;
    std::mt19937 rng{42};
    std::vector<Packet> packets = encodeTestSignal(250);

    bool run(std::chrono::seconds duration, const std::atomic<bool>& stop) {
        std::optional<ControlClient> paired = ControlClient::pair(kPin);
        if (!paired) return false;
        UdpSender udp(sonvale::kAudioPort);
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        std::uniform_int_distribution<int> jitter(0, impairment.jitterMs * 1000);
        const auto start = Clock::now();
        auto nextPing = start + 1s;
        std::vector<uint32_t> held;  // sent after the next one
        for (uint32_t seq = 0; seq < duration / 20ms && !stop; ++seq) {
            std::this_thread::sleep_until(start + seq * 20ms + std::chrono::microseconds(jitter(rng)));
            if (chance(rng) < impairment.loss) continue;
            if (held.empty() && chance(rng) < impairment.reorder) {
                held.push_back(seq);
                continue;
            }
            send(udp, seq);
            if (chance(rng) < impairment.duplicate) send(udp, seq);
            for (uint32_t h : held)
                send(udp, h);
            held.clear();
            if (Clock::now() >= nextPing) {
                nextPing += 1s;
                const auto t0 = Clock::now();
                missedPings += paired->ping() ? 0 : 1;
                maxPingMs =
                    std::max(maxPingMs, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            }
        }
        return true;
    }

    void send(UdpSender& udp, uint32_t seq) {
        udp.send(makeDatagram(seq, packets[seq % packets.size()]));
        reference.arrive(seq, packets[seq % packets.size()]);  // the frames the engine must write
        ++sent;
    }
    size_t sent = 0;
    ReferenceReceiver reference;
};

// What a run's load measured: its JSON fields and whether the engine held its resources.
struct Measured {
    std::string fields;
    bool held = true;
};

// Runs load() beside a paired phone against a fresh engine, then prints the
// run's JSON line: the load's fields and what every run measures.
template <class Load>
int run(const char* name, Phone& phone, std::chrono::seconds phoneTime, Load load) {
    EngineProcess engine(EngineProcess::withPin(kPin));
    svring::Ring ring;
    if (!engine.waitReady() || !ring.open(svring::Ring::Access::look)) return 2;
    std::atomic<bool> stop{false};
    bool phoneOk = false;
    std::thread phoneThread([&] { phoneOk = phone.run(phoneTime, stop); });
    const Measured measured = load(engine.pid(), ring);
    stop = true;
    phoneThread.join();
    std::this_thread::sleep_for(300ms);
    const uint64_t written = ring.writeIndex();
    const uint64_t expected = phone.reference.frames();
    const bool alive = !engine.process().waitForExit(0ms);
    const std::optional<int> status = engine.stop();
    const bool pass =
        phoneOk && alive && status == 0 && written == expected && phone.missedPings == 0 && measured.held;
    std::printf(
        "{\"run\":\"%s\",%s,\"packets_sent\":%zu,\"frames_written\":%llu,\"frames_expected\":%llu,"
        "\"missed_pings\":%d,\"max_ping_ms\":%.2f,\"exit_status\":%d,\"pass\":%s}\n",
        name, measured.fields.c_str(), phone.sent, static_cast<unsigned long long>(written),
        static_cast<unsigned long long>(expected), phone.missedPings, phone.maxPingMs, status.value_or(-1),
        pass ? "true" : "false");
    return pass ? 0 : 1;
}

int streamRun(int seconds) {
    Phone phone;
    phone.impairment = {0.10, 0.05, 0.02, 30};
    return run("stream", phone, std::chrono::seconds(seconds), [&](pid_t pid, const svring::Ring&) {
        const auto started = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(std::clamp(seconds / 10, 2, 10)));
        const ProcessInfo early = readProcess(pid).value_or(ProcessInfo{});
        std::this_thread::sleep_until(started + std::chrono::seconds(seconds) + 300ms);
        const ProcessInfo end = readProcess(pid).value_or(ProcessInfo{});
        const double cpuPercent = 100.0 * end.cpuSeconds / seconds;
        // Sanitizer builds trade memory and time for checks: only correctness counts there.
        const char* checks = std::getenv("SONVALE_SOAK_RESOURCE_CHECKS");
        const bool held = (checks != nullptr && std::strcmp(checks, "0") == 0) ||
                          (end.rssKb - early.rssKb <= 256 && cpuPercent <= 5.0);
        char text[256];
        std::snprintf(text, sizeof text,
                      "\"seconds\":%d,\"rss_kb_after_warmup\":%ld,\"rss_kb_end\":%ld,\"peak_rss_kb\":%ld,"
                      "\"cpu_percent_of_core\":%.3f",
                      seconds, early.rssKb, end.rssKb, end.peakRssKb, cpuPercent);
        return Measured{text, held};
    });
}

std::string garbage(std::mt19937& rng, size_t length) {
    std::string bytes(length, 'x');
    for (char& c : bytes)
        c = static_cast<char>(rng() % 255 + 11);  // every byte but LF
    return bytes;
}

int abuseRun(int count) {
    Phone phone;
    // The phone streams until the abuse is done.
    return run("abuse", phone, std::chrono::hours(1), [&](pid_t, const svring::Ring& ring) {
        // The flood overflows the socket's queue now and then: a phone packet
        // lost in the middle is concealed, one lost before the stream began
        // would only shorten it, so the flood waits for the stream.
        if (!waitFor([&] { return ring.writeIndex() > 0; }))
            return Measured{"\"stream_started\":false", false};
        std::mt19937 rng(99);
        // Garbage datagrams, a third with a valid header, from a host that never paired.
        UdpSender intruder(sonvale::kAudioPort, "127.0.0.7");
        for (int i = 0; i < count * 100; ++i) {
            const std::string d = garbage(rng, rng() % 256 * 8);
            intruder.send(i % 3 == 0 ? makeDatagram(static_cast<uint32_t>(rng()), Packet(d.begin(), d.end()))
                                     : std::vector<uint8_t>(d.begin(), d.end()));
            if (i % 200 == 0) std::this_thread::sleep_for(1ms);
        }
        // Connections dropped in every state, from a host of their own.
        const std::string sends[] = {"{\"t\":\"hel",
                                     "{\"t\":\"hello\",\"pin\":\"0000\"}\n",
                                     garbage(rng, 70000),
                                     "",
                                     "{\"t\":\"ping\"}\n{\"t\":\"ping\"}\n",
                                     ""};
        int refused = 0;
        for (int i = 0; i < count; ++i) {
            TcpClient c;
            if (!c.connect(sonvale::kControlPort, "127.0.0.1", "127.0.0.8")) {
                ++refused;
                continue;
            }
            // Row 3: a line of some length up to the limit.
            c.send(i % 6 == 3 ? garbage(rng, static_cast<size_t>(i * 97 % 65536)) + "\n" : sends[i % 6]);
            i % 2 == 0 ? c.reset() : c.close();
            // The engine accepts every 20 ms at most with a backlog of 4: faster
            // connects would only wait out SYN retransmissions.
            std::this_thread::sleep_for(5ms);
        }
        std::this_thread::sleep_for(2s);
        return Measured{"\"connections\":" + std::to_string(count) + ",\"connect_refused\":" +
                        std::to_string(refused) + ",\"garbage_datagrams\":" + std::to_string(count * 100)};
    });
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc == 3 && std::strcmp(argv[1], "stream") == 0) return streamRun(std::atoi(argv[2]));
    if (argc == 3 && std::strcmp(argv[1], "abuse") == 0) return abuseRun(std::atoi(argv[2]));
    std::fprintf(stderr, "usage: soak_engine stream SECONDS | abuse CONNECTIONS\n");
    return 2;
}
