// Micro benchmarks of every step on an audio packet's road through the engine,
// each next to its physical limit: the bare libopus decode of the same packets,
// memcpy of the same bytes.
//
// Usage: sonvale-micro-bench [--packets=DUMP] [Google Benchmark flags]
// The ring benchmarks create "/sonvale_ring", so they run only inside
// scripts/sandbox.sh (a private /dev/shm); elsewhere they are skipped.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "audio_packet.h"
#include "bare_decoder.h"
#include "control_line.h"
#include "control_server.h"
#include "jitter_buffer.h"
#include "line_framer.h"
#include "loopback_client.h"
#include "monitor_rms.h"
#include "packet_set.h"
#include "sv_ring.h"
#include "tone_packets.h"

namespace {

constexpr size_t kFrames = 960;
constexpr size_t kFrameFloats = 2;
constexpr size_t kPacketBytes = kFrames * kFrameFloats * sizeof(float);

bool inSandbox() {
    const char* flag = std::getenv("SONVALE_IN_SANDBOX");
    return flag != nullptr && std::strcmp(flag, "1") == 0;
}

std::vector<std::vector<uint8_t>> datagramsOf(const PacketSet& packets) {
    std::vector<std::vector<uint8_t>> datagrams;
    for (size_t i = 0; i < packets.size(); ++i)
        datagrams.push_back(devkit::makeDatagram(static_cast<uint32_t>(i), packets[i]));
    return datagrams;
}

// --- the limits ---------------------------------------------------------------

void opusDecode(benchmark::State& state, const PacketSet& packets) {
    BareDecoder decoder;
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(decoder.decode(packets[i++]));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

// What a jump far ahead costs at the least: a decoder reset and the new stream's first packet.
void opusGap(benchmark::State& state, const PacketSet& packets) {
    BareDecoder decoder;
    size_t i = 0;
    for (auto _ : state) {
        decoder.reset();
        benchmark::DoNotOptimize(decoder.decode(packets[i++]));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

void opusConceal(benchmark::State& state, const PacketSet& packets) {
    BareDecoder decoder;
    decoder.decode(packets[0]);
    for (auto _ : state) {
        benchmark::DoNotOptimize(decoder.conceal());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

// memcpy of one packet's frames into a one-second buffer, at the slots the ring uses.
void memcpyPacket(benchmark::State& state) {
    std::vector<float> ring(SVRING_FRAMES * kFrameFloats);
    std::vector<float> pcm(kFrames * kFrameFloats, 0.25f);
    uint64_t w = 0;
    for (auto _ : state) {
        std::memcpy(&ring[(w % SVRING_FRAMES) * kFrameFloats], pcm.data(), kPacketBytes);
        w += kFrames;
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kPacketBytes));
}

void memcpyPacketOut(benchmark::State& state) {
    std::vector<float> ring(SVRING_FRAMES * kFrameFloats, 0.25f);
    std::vector<float> out(kFrames * kFrameFloats);
    uint64_t r = 0;
    for (auto _ : state) {
        std::memcpy(out.data(), &ring[(r % SVRING_FRAMES) * kFrameFloats], kPacketBytes);
        r += kFrames;
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kPacketBytes));
}

// --- engine steps -------------------------------------------------------------

void audioPacketDecode(benchmark::State& state, const PacketSet& packets) {
    const std::vector<std::vector<uint8_t>> datagrams = datagramsOf(packets);
    size_t i = 0;
    for (auto _ : state) {
        const std::vector<uint8_t>& d = datagrams[i++ % datagrams.size()];
        AudioPacketHeader header{};
        const uint8_t* payload = nullptr;
        uint64_t length = 0;
        benchmark::DoNotOptimize(AudioPacket::decode(d.data(), d.size(), header, payload, length));
        benchmark::DoNotOptimize(payload);
    }
    state.SetItemsProcessed(state.iterations());
}

// The engine's use of the buffer: one push of a freshly copied payload, then pops
// until it says nothing is due. The next number comes from step(i).
template <typename Step>
void jitterRun(benchmark::State& state, const PacketSet& packets, Step step) {
    JitterBuffer jitter;
    jitter.configure(1);
    std::vector<uint8_t> out;
    bool lost = false;
    uint32_t seq = 1000;
    size_t i = 0;
    for (auto _ : state) {
        seq = step(seq, i);
        const PacketSet::Payload& p = packets[i++];
        jitter.push(seq, std::vector<uint8_t>(p.data(), p.data() + p.size()));
        while (jitter.pop(out, lost))
            benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}

void jitterInOrder(benchmark::State& state, const PacketSet& packets) {
    jitterRun(state, packets, [](uint32_t seq, size_t) { return seq + 1; });
}

// Every tenth number is missing: one loss report before every tenth packet.
void jitterGaps(benchmark::State& state, const PacketSet& packets) {
    jitterRun(state, packets, [](uint32_t seq, size_t i) { return seq + (i % 10 == 9 ? 2u : 1u); });
}

// Neighbours swapped (2, 1, 4, 3, ...): the later one plays with a loss report
// before it, the earlier one arrives late and is dropped.
void jitterReordered(benchmark::State& state, const PacketSet& packets) {
    jitterRun(state, packets, [](uint32_t seq, size_t i) { return i % 2 == 0 ? seq + 3 : seq - 1; });
}

// The farthest jump a sender can make: 2^31 - 1 ahead, a new stream every packet.
void jitterLargestGap(benchmark::State& state, const PacketSet& packets) {
    jitterRun(state, packets, [](uint32_t seq, size_t) { return seq + 0x7FFFFFFFu; });
}

struct Ring {
    SVRingHandle handle{-1, nullptr};
    Ring() { SVRing_OpenWriter(&handle); }
    ~Ring() { SVRing_Close(&handle); }
};

void ringWrite(benchmark::State& state) {
    if (!inSandbox()) {
        state.SkipWithError("the ring benchmarks run only inside scripts/sandbox.sh");
        return;
    }
    Ring ring;
    std::vector<float> pcm(kFrames * kFrameFloats, 0.25f);
    for (auto _ : state) {
        benchmark::DoNotOptimize(SVRing_Write(&ring.handle, pcm.data(), kFrames));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kPacketBytes));
}

// The writer fills the whole ring with the timer stopped, once every 50 reads,
// so each read finds a packet's worth of frames.
void ringRead(benchmark::State& state) {
    if (!inSandbox()) {
        state.SkipWithError("the ring benchmarks run only inside scripts/sandbox.sh");
        return;
    }
    Ring writer;
    SVRingHandle reader{-1, nullptr};
    SVRing_OpenReader(&reader);
    const std::vector<float> second(SVRING_FRAMES * kFrameFloats, 0.25f);
    std::vector<float> out(kFrames * kFrameFloats);
    size_t unread = 0;
    for (auto _ : state) {
        if (unread < kFrames) {
            state.PauseTiming();
            SVRing_Write(&writer.handle, second.data(), SVRING_FRAMES - unread);
            unread = SVRING_FRAMES;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(SVRing_Read(&reader, out.data(), kFrames));
        unread -= kFrames;
        benchmark::ClobberMemory();
    }
    SVRing_Close(&reader);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kPacketBytes));
}

// --- control server -----------------------------------------------------------

std::vector<std::string> controlLines() {
    return {
        "{\"t\":\"ping\",\"ts\":123456789}",
        "{\"t\":\"hello\",\"pin\":\"4711\",\"name\":\"Phone\"}",
        "{\"t\":\"mode\",\"mode\":1}",
        "{\"t\":\"stats\",\"sent\":1500,\"battery\":0.8}",
    };
}

// What a line asks of the server plus, for queued lines, the mode rule.
void controlDecide(benchmark::State& state) {
    const std::vector<std::string> lines = controlLines();
    size_t i = 0;
    for (auto _ : state) {
        const std::string& line = lines[i++ % lines.size()];
        const ControlServer::Action action = ControlServer::decide(line, "4711", true);
        benchmark::DoNotOptimize(action);
        if (action == ControlServer::Action::Queue) benchmark::DoNotOptimize(ControlLine::modeOf(line));
    }
    state.SetItemsProcessed(state.iterations());
}

// One received segment with four lines, cut into lines.
void controlFraming(benchmark::State& state) {
    const std::vector<std::string> lines = controlLines();
    std::string segment;
    for (const std::string& line : lines)
        segment += line + "\r\n";
    LineFramer framer(ControlServer::kMaxBuffered);
    for (auto _ : state) {
        framer.append(segment.data(), segment.size());
        while (std::optional<std::string> line = framer.next())
            benchmark::DoNotOptimize(line->data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(lines.size()));
}

// A started server with a PIN and `clients` authenticated connections.
class ControlRig {
public:
    explicit ControlRig(int clients) {
        server_.setPin("4711");
        ok_ = server_.start(0);
        for (int c = 0; ok_ && c < clients; ++c) {
            devkit::TcpClient client;
            ok_ = client.connectWithin(server_.boundPort(), std::chrono::seconds(2));
            // Each line leaves at once, as a phone's rare control lines do.
            const int one = 1;
            setsockopt(client.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            server_.poll();
            ok_ = ok_ && client.send(ControlLine::hello("4711") + "\n");
            server_.poll();
            ok_ = ok_ && client.readLine(std::chrono::seconds(2)) == ControlLine::kHelloOk;
            clients_.push_back(std::move(client));
        }
    }
    bool ok() const { return ok_; }
    ControlServer& server() { return server_; }
    devkit::TcpClient& client(size_t i) { return clients_[i]; }

private:
    ControlServer server_;
    std::vector<devkit::TcpClient> clients_;
    bool ok_ = false;
};

// The control server's share of every engine loop iteration: one poll with the
// given number of authenticated connections that send nothing.
void controlPollIdle(benchmark::State& state) {
    ControlRig rig(static_cast<int>(state.range(0)));
    if (!rig.ok()) {
        state.SkipWithError("control connections could not be set up");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(rig.server().poll());
    state.SetItemsProcessed(state.iterations());
}

// One mode line from a real connection to the main loop: the client's send, then
// the poll that reads, frames, dispatches, queues and hands it out.
void controlLineDispatch(benchmark::State& state) {
    ControlRig rig(1);
    if (!rig.ok()) {
        state.SkipWithError("control connection could not be set up");
        return;
    }
    const std::string line = "{\"t\":\"mode\",\"mode\":1}\n";
    for (auto _ : state) {
        rig.client(0).send(line);
        std::optional<std::string> got;
        while (!(got = rig.server().poll())) {
        }
        benchmark::DoNotOptimize(ControlLine::modeOf(*got));
    }
    state.SetItemsProcessed(state.iterations());
}

// --- the level meter ----------------------------------------------------------

// One meter tick: the newest 480 frames, with the write index moving by one
// tick's worth (1600 frames) so the window also straddles the ring's end.
void monitorRmsTick(benchmark::State& state, const PacketSet& packets) {
    std::vector<float> slots(SVRING_FRAMES * kFrameFloats);
    BareDecoder decoder;
    for (size_t f = 0; f < SVRING_FRAMES; f += kFrames) {
        decoder.decode(packets[f / kFrames]);
        std::memcpy(&slots[f * kFrameFloats], decoder.pcm(), kPacketBytes);
    }
    uint64_t w = 480;
    for (auto _ : state) {
        benchmark::DoNotOptimize(monitorRms(slots.data(), w));
        w += 1600;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(monitorRmsSource());
}

std::string packetsPath(int& argc, char** argv) {
    std::string path;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--packets=", 0) == 0) {
            path = arg.substr(10);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = packetsPath(argc, argv);
    std::string error;
    const std::optional<PacketSet> loaded = PacketSet::load(path, error);
    if (!loaded) {
        std::cerr << "sonvale-micro-bench: " << error << "\n";
        return 2;
    }
    const PacketSet& packets = *loaded;

    benchmark::RegisterBenchmark("opus_decode", opusDecode, packets);
    benchmark::RegisterBenchmark("opus_conceal", opusConceal, packets);
    benchmark::RegisterBenchmark("opus_reset_1_decode", opusGap, packets);
    benchmark::RegisterBenchmark("audio_packet_decode", audioPacketDecode, packets);
    benchmark::RegisterBenchmark("jitter_in_order", jitterInOrder, packets);
    benchmark::RegisterBenchmark("jitter_gaps", jitterGaps, packets);
    benchmark::RegisterBenchmark("jitter_reordered", jitterReordered, packets);
    benchmark::RegisterBenchmark("jitter_largest_gap", jitterLargestGap, packets);
    benchmark::RegisterBenchmark("memcpy_packet_in", memcpyPacket);
    benchmark::RegisterBenchmark("ring_write", ringWrite);
    benchmark::RegisterBenchmark("memcpy_packet_out", memcpyPacketOut);
    benchmark::RegisterBenchmark("ring_read", ringRead);
    benchmark::RegisterBenchmark("control_decide", controlDecide);
    benchmark::RegisterBenchmark("control_framing", controlFraming);
    benchmark::RegisterBenchmark("control_line_dispatch", controlLineDispatch);
    benchmark::RegisterBenchmark("control_poll_idle", controlPollIdle)->Arg(0)->Arg(8);
    benchmark::RegisterBenchmark("monitor_rms", monitorRmsTick, packets);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    benchmark::AddCustomContext("packets", packets.origin());
    benchmark::AddCustomContext("packet_count", std::to_string(packets.size()));
    benchmark::AddCustomContext("monitor_rms", monitorRmsSource());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
