// sonvale-engine: receives Opus audio over UDP, admits it only while a phone has
// passed the PIN handshake, puts it back in order, decodes it and writes 48 kHz
// stereo float frames into the shared ring. One thread, no locks.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "audio_packet.h"
#include "control_line.h"
#include "control_server.h"
#include "jitter_buffer.h"
#include "mode_rule.h"
#include "opus_dec.h"
#include "sonvale_protocol.h"
#include "stream_stats.h"
#include "sv_ring.h"
#include "sv_stats.hpp"
#include "trace_log.h"
#include "udp_receiver.h"

namespace {

volatile sig_atomic_t g_running = 1;

void on_signal(int) {
    g_running = 0;
}

constexpr int kInitialTarget = 4;
constexpr int kSampleRate = 48000;
constexpr int kChannels = 2;
constexpr int kMaxFrames = 960;
constexpr int kReceiveBufferSize = 2048;
constexpr uint32_t kReceiveWaitMs = 20;

// Only with two or more arguments are they examined; the last one never is, and
// the value after "--pin" is examined again, so the last "--pin" wins.
std::string pinFromArgs(int argc, char** argv) {
    std::string pin;
    if (argc < 3) return pin;
    for (int i = 1; i <= argc - 2; ++i) {
        if (std::strcmp(argv[i], "--pin") == 0) pin = argv[i + 1];
    }
    return pin;
}

void installSignals() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a signal ends the receive wait early
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Closes the ring on every path out of main, after the objects built later.
struct RingAttachment {
    SVRingHandle handle{-1, nullptr};
    ~RingAttachment() { SVRing_Close(&handle); }
};

void applyMode(const std::string& line, JitterBuffer& jitter) {
    const std::optional<int> mode = ControlLine::modeOf(line);
    if (!mode) return;
    const int target = jitterTargetForMode(*mode);
    jitter.configure(target);
    std::printf("[engine] Mode %d \u2192 jitter target %d packets\n", *mode, target);
    std::fflush(stdout);
}

void drain(JitterBuffer& jitter, OpusDec& decoder, SVRingHandle& ring, std::vector<uint8_t>& payload,
           float* pcm, StreamStats& stats, TraceLog& trace) {
    bool lost = false;
    while (jitter.pop(payload, lost)) {
        if (jitter.newStream()) decoder.reset();
        const bool conceal = lost || payload.empty();
        stats.played(jitter.nextSeq() - 1, conceal, lost);
        const int frames = decoder.decode(conceal ? nullptr : payload.data(),
                                          conceal ? 0 : static_cast<int>(payload.size()), pcm, kMaxFrames);
        if (frames < 1) continue;
        const uint64_t at = SVRing_WriteIndex(&ring);
        SVRing_Write(&ring, pcm, static_cast<size_t>(frames));
        if (trace.enabled()) {
            // The step just popped carried the number before the next one.
            trace.line(TraceLog::nowUs(),
                       ",\"leg\":\"ring\",\"seq\":" + std::to_string(jitter.nextSeq() - 1) +
                           ",\"frame\":" + std::to_string(at) + (conceal ? ",\"concealed\":true" : ""));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string pin = pinFromArgs(argc, argv);
    installSignals();

    RingAttachment ring;
    if (!SVRing_OpenWriter(&ring.handle)) {
        std::fprintf(stderr, "[engine] ERROR: SVRing_OpenWriter failed\n");
        return 1;
    }

    UdpReceiver receiver;
    if (!receiver.bind(sonvale::kAudioPort)) {
        std::fprintf(stderr, "[engine] ERROR: UdpReceiver::bind(%u) failed\n", sonvale::kAudioPort);
        return 1;
    }
    std::printf("[engine] UDP audio listening on port %u\n", receiver.boundPort());

    ControlServer control;
    control.setPin(pin);
    if (!pin.empty()) std::printf("[engine] PIN pairing enabled\n");
    if (!control.start(sonvale::kControlPort)) {
        std::fprintf(stderr, "[engine] ERROR: ControlServer::start(%u) failed\n", sonvale::kControlPort);
        return 1;
    }
    std::printf("[engine] Control server listening on port %u\n", sonvale::kControlPort);

    JitterBuffer jitter;
    jitter.configure(kInitialTarget);

    OpusDec decoder;
    if (!decoder.init(kSampleRate, kChannels)) {
        std::fprintf(stderr, "[engine] ERROR: OpusDec::init failed\n");
        return 1;
    }
    // The statistics are for people watching; the engine runs without them.
    svring::StatsBlock statsBlock;
    if (!statsBlock.open(svring::StatsBlock::Access::write))
        std::fprintf(stderr, "[engine] WARNING: no statistics block " SVSTATS_NAME "\n");
    StreamStats stats;
    uint64_t hellos = 0;

    std::printf("[engine] Pipeline ready. Entering main loop.\n");
    std::fflush(stdout);

    std::vector<uint8_t> receiveBuffer(kReceiveBufferSize, 0);
    std::vector<float> pcm(static_cast<size_t>(kMaxFrames * kChannels));
    std::vector<uint8_t> payload;
    TraceLog trace("engine");

    while (g_running != 0) {
        if (std::optional<std::string> line = control.poll()) applyMode(*line, jitter);
        if (control.hellosPassed() != hellos) {
            hellos = control.hellosPassed();
            stats.begin(StreamStats::nowUs());
        }

        uint32_t source = 0;
        const int n = receiver.recv(receiveBuffer.data(), kReceiveBufferSize, kReceiveWaitMs, &source);
        if (n >= 1 && control.hasAuthedClient() && control.admitsAudioFrom(source)) {
            AudioPacketHeader header{};
            const uint8_t* data = nullptr;
            uint64_t length = 0;
            if (AudioPacket::decode(receiveBuffer.data(), static_cast<uint64_t>(n), header, data, length)) {
                const JitterBuffer::Push verdict =
                    jitter.push(header.sequence, std::vector<uint8_t>(data, data + length));
                stats.arrived(header.sequence, verdict, StreamStats::nowUs());
            }
        }
        drain(jitter, decoder, ring.handle, payload, pcm.data(), stats, trace);
        statsBlock.publish(stats.snapshot(StreamStats::nowUs(), jitter.size(),
                                          SVRing_WriteIndex(&ring.handle) - SVRing_ReadIndex(&ring.handle)));
    }

    std::printf("[engine] Shutting down.\n");
    SVRing_Close(&ring.handle);
    return 0;
}
