// sonvale-web-bench: what one browser stream costs the gateway. Plays the page
// (a WebSocket client sending 20 ms chunks on the clock) and the engine (its
// control port and audio port), and measures, for PCM in (encoded by the
// gateway) and for Opus in: the gateway's CPU as a share of a core and per
// chunk, the time from a chunk's message to its datagram (which includes the
// playout buffer's depth), and the round trip of a ping through the same
// connection (the message path without the playout buffer), beside the time
// libopus takes to encode one chunk here. Prints one JSON object.
//
// Datagrams are matched to chunks by their payload: the bench encodes each
// chunk with the gateway's settings, and libopus is deterministic, so PCM in
// comes out as the same bytes too. The signal carries a little noise so that
// no two chunks encode alike; drops and concealment then cannot shift the match.
// Usage (inside scripts/sandbox.sh): sonvale-web-bench --web PATH [--seconds N]
#include <opus.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <QWebSocket>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <numbers>

#include "audio_packet.h"
#include "loopback_client.h"
#include "sonvale_protocol.h"
#include "stats.h"
#include "subprocess.h"
#include "timing.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr char kPin[] = "2580";
constexpr int kFrames = 960;
constexpr int kPingEvery = 5;  // chunks

double msSince(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double cpuSeconds(pid_t pid) {
    return static_cast<double>(timing::processCpu(pid)) / 1e9;
}

// Runs the event loop until `until`, asleep between events (a busy loop would
// take a processor from the gateway).
void pump(Clock::time_point until) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return;
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(left.count()), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

struct Arrival {
    Clock::time_point at;
    QByteArray payload;
};

// The engine as the gateway meets it: hello answered, datagrams timestamped.
class FakeEngine {
public:
    FakeEngine() {
        control_.listen(QHostAddress::LocalHost, sonvale::kControlPort);
        audio_.bind(QHostAddress::LocalHost, sonvale::kAudioPort);
        QObject::connect(&control_, &QTcpServer::newConnection, [this] {
            QTcpSocket* s = control_.nextPendingConnection();
            QObject::connect(s, &QTcpSocket::readyRead, [s] {
                while (s->canReadLine()) {
                    const QByteArray line = s->readLine();
                    s->write(line.contains("\"t\":\"hello\"") ? "{\"t\":\"hello_ok\"}\n" : line);
                }
            });
        });
        QObject::connect(&audio_, &QUdpSocket::readyRead, [this] {
            while (audio_.hasPendingDatagrams()) {
                const auto now = Clock::now();
                const QByteArray d = audio_.receiveDatagram().data();
                AudioPacketHeader header{};
                const uint8_t* payload = nullptr;
                uint64_t length = 0;
                if (AudioPacket::decode(reinterpret_cast<const uint8_t*>(d.data()),
                                        static_cast<uint64_t>(d.size()), header, payload, length) &&
                    length > 0) {
                    arrivals.push_back({now, QByteArray(reinterpret_cast<const char*>(payload),
                                                        static_cast<qsizetype>(length))});
                }
            }
        });
    }
    std::vector<Arrival> arrivals;  // of datagrams carrying audio

private:
    QTcpServer control_;
    QUdpSocket audio_;
};

QByteArray message(uint8_t type, const QByteArray& body) {
    QByteArray m(1, static_cast<char>(type));
    m.append(static_cast<char>(body.size() & 0xFF));
    m.append(static_cast<char>((body.size() >> 8) & 0xFF));
    return m + body;
}

struct Chunks {
    std::vector<QByteArray> pcm, opus;
    std::vector<double> encodeUs;
};

// A 1 kHz tone with a little noise, as 16-bit PCM and as Opus from an encoder
// set up like the gateway's (48 kHz mono, audio, 64 kbit/s).
Chunks makeChunks(int count) {
    Chunks c;
    OpusEncoder* encoder = opus_encoder_create(48000, 1, OPUS_APPLICATION_AUDIO, nullptr);
    opus_encoder_ctl(encoder, OPUS_SET_BITRATE(64000));
    uint32_t noise = 12345;
    for (int k = 0; k < count; ++k) {
        std::vector<opus_int16> pcm(kFrames);
        for (int i = 0; i < kFrames; ++i) {
            noise = noise * 1664525u + 1013904223u;
            const double tone = 12000 * std::sin(2 * std::numbers::pi * 1000 * (k * kFrames + i) / 48000.0);
            pcm[size_t(i)] = static_cast<opus_int16>(tone + static_cast<double>(noise >> 24) - 128);
        }
        unsigned char packet[1275];
        const auto t0 = Clock::now();
        const opus_int32 n = opus_encode(encoder, pcm.data(), kFrames, packet, sizeof packet);
        c.encodeUs.push_back(msSince(t0, Clock::now()) * 1000);
        c.opus.emplace_back(reinterpret_cast<char*>(packet), n);
        c.pcm.emplace_back(reinterpret_cast<const char*>(pcm.data()), 2 * kFrames);
    }
    opus_encoder_destroy(encoder);
    return c;
}

struct Result {
    double cpuShare = 0, cpuUsPerChunk = 0;
    std::vector<double> latency, ping;
    size_t chunks = 0;
};

// One stream from a new page; Opus chunks when opus, else PCM.
Result stream(pid_t gateway, FakeEngine& engine, const Chunks& chunks, bool opus) {
    // Declared before the page, so they outlive its signals.
    std::map<uint32_t, Clock::time_point> pings;
    Result r;
    QWebSocket page("https://127.0.0.1:47812");
    QObject::connect(&page, &QWebSocket::sslErrors, [&page] { page.ignoreSslErrors(); });
    QObject::connect(&page, &QWebSocket::binaryMessageReceived, [&](const QByteArray& m) {
        uint32_t id = 0;
        if (m.size() != 7 || static_cast<uint8_t>(m[0]) != 0x85) return;
        std::memcpy(&id, m.constData() + 3, sizeof id);
        if (const auto it = pings.find(id); it != pings.end())
            r.ping.push_back(msSince(it->second, Clock::now()));
    });
    page.open(QUrl("wss://127.0.0.1:47812/"));
    pump(Clock::now() + 2s);
    page.sendBinaryMessage(message(1, QByteArray(opus ? "\x01\x01\x01\x04" : "\x01\x02\x01\x04", 4) + kPin));
    pump(Clock::now() + 500ms);

    engine.arrivals.clear();
    const std::vector<QByteArray>& bodies = opus ? chunks.opus : chunks.pcm;
    std::vector<Clock::time_point> sent;
    const double cpu0 = cpuSeconds(gateway);
    const auto start = Clock::now();
    for (size_t k = 0; k < bodies.size(); ++k) {
        pump(start + k * 20ms);
        sent.push_back(Clock::now());
        page.sendBinaryMessage(message(2, bodies[k]));
        page.flush();
        if (k % kPingEvery == 0) {
            pump(start + k * 20ms + 10ms);
            const auto id = static_cast<uint32_t>(k);
            pings[id] = Clock::now();
            page.sendBinaryMessage(message(5, QByteArray(reinterpret_cast<const char*>(&id), sizeof id)));
            page.flush();
        }
    }
    pump(Clock::now() + 500ms);
    const double cpu = cpuSeconds(gateway) - cpu0;
    // Per second of audio: the half second after the stream holds the last ticks' work.
    r.cpuShare = cpu / (static_cast<double>(bodies.size()) * 0.02);
    r.cpuUsPerChunk = cpu * 1e6 / static_cast<double>(bodies.size());
    r.chunks = bodies.size();
    page.sendBinaryMessage(message(4, {}));
    pump(Clock::now() + 300ms);

    std::map<QByteArray, size_t> index;
    for (size_t k = 0; k < chunks.opus.size(); ++k)
        index.emplace(chunks.opus[k], k);
    for (const Arrival& a : engine.arrivals) {
        if (const auto it = index.find(a.payload); it != index.end() && it->second < sent.size())
            r.latency.push_back(msSince(sent[it->second], a.at));
    }
    return r;
}

void printStream(const char* name, const Result& r, bool last) {
    std::printf(
        " \"%s\": {\"chunks\": %zu, \"matched\": %zu, \"cpu_percent_of_core\": %.3f, \"cpu_us_per_chunk\": "
        "%.1f,\n"
        "   \"message_to_datagram_ms_min\": %.2f, \"message_to_datagram_ms_p50\": %.2f, "
        "\"message_to_datagram_ms_p99\": %.2f,\n"
        "   \"pings\": %zu, \"ping_round_trip_ms_p50\": %.3f, \"ping_round_trip_ms_p99\": %.3f}%s\n",
        name, r.chunks, r.latency.size(), r.cpuShare * 100, r.cpuUsPerChunk, stats::percentile(r.latency, 0),
        stats::percentile(r.latency, 50), stats::percentile(r.latency, 99), r.ping.size(),
        stats::percentile(r.ping, 50), stats::percentile(r.ping, 99), last ? "" : ",");
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::string web;
    int seconds = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--web") == 0) web = argv[i + 1];
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(1, std::atoi(argv[i + 1]));
    }
    if (web.empty() || !std::getenv("SONVALE_IN_SANDBOX")) {
        std::fprintf(stderr,
                     "usage (inside scripts/sandbox.sh): sonvale-web-bench --web PATH [--seconds N]\n");
        return 2;
    }
    setenv("XDG_DATA_HOME", "/dev/shm", 1);
    FakeEngine engine;
    devkit::ChildProcess gateway(web, {}, std::string(kPin) + "\n");
    const std::string link = std::string("https://127.0.0.1:47812/#pin=") + kPin;
    const auto deadline = Clock::now() + 30s;
    // Waiting for its exit reads its output meanwhile.
    while (gateway.out().find(link) == std::string::npos && Clock::now() < deadline &&
           !gateway.waitForExit(20ms)) {
    }
    if (gateway.out().find(link) == std::string::npos) {
        std::fprintf(stderr, "sonvale-web-bench: the gateway did not start\n%s", gateway.err().c_str());
        return 1;
    }
    const Chunks chunks = makeChunks(seconds * 50);
    const Result pcm = stream(gateway.pid(), engine, chunks, false);
    const Result opus = stream(gateway.pid(), engine, chunks, true);
    std::printf(
        "{\"seconds\": %d, \"ping_every_ms\": %d, \"libopus_encode_us_p50\": %.1f, "
        "\"libopus_encode_us_p99\": %.1f,\n",
        seconds, kPingEvery * 20, stats::percentile(chunks.encodeUs, 50),
        stats::percentile(chunks.encodeUs, 99));
    printStream("pcm_in", pcm, false);
    printStream("opus_in", opus, true);
    std::printf("}\n");
    if (pcm.latency.empty() || opus.latency.empty()) {
        std::fprintf(stderr, "sonvale-web-bench: no datagram carried a chunk\n");
        return 1;
    }
    return 0;
}
