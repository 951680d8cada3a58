// sonvale-web-bench: what one browser stream costs the gateway. Plays the page
// (a WebSocket client sending 20 ms chunks on the clock) and the engine (its
// control port and audio port), and measures, for PCM in (encoded by the
// gateway) and for Opus in: the gateway's CPU as a share of a core, and the
// time from a chunk's message to its datagram (p50, p99), beside the time
// libopus takes to encode one chunk here. Prints one JSON object.
// Usage (inside scripts/sandbox.sh): sonvale-web-bench --web PATH [--seconds N]
#include <opus.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QWebSocket>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>

#include "bench_io.h"
#include "sonvale_protocol.h"
#include "stats.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr char kPin[] = "2580";

double msSince(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const size_t close = text.rfind(')');
    unsigned long long utime = 0, stime = 0;
    std::sscanf(text.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

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
                const QByteArray d = audio_.receiveDatagram().data();
                if (d.size() > 14) arrivals.push_back(Clock::now());
            }
        });
    }
    std::vector<Clock::time_point> arrivals;  // of datagrams carrying audio

private:
    QTcpServer control_;
    QUdpSocket audio_;
};

void pump(Clock::time_point until) {
    while (Clock::now() < until)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
}

QByteArray message(uint8_t type, const QByteArray& body) {
    return QByteArray(1, char(type)) + char(body.size() & 0xFF) + char(body.size() >> 8) + body;
}

struct Result {
    double cpuShare = 0, p50 = 0, p99 = 0, encodeUs = 0;
    size_t matched = 0;
};

// One stream of `seconds` from a new page; Opus chunks when opus, else PCM.
Result stream(pid_t gateway, FakeEngine& engine, bool opus, int seconds) {
    OpusEncoder* encoder = opus_encoder_create(48000, 1, OPUS_APPLICATION_AUDIO, nullptr);
    opus_encoder_ctl(encoder, OPUS_SET_BITRATE(64000));
    std::vector<QByteArray> chunks;
    std::vector<double> encodeUs;
    for (int k = 0; k < seconds * 50; ++k) {
        std::vector<opus_int16> pcm(960);
        for (int i = 0; i < 960; ++i)
            pcm[size_t(i)] = opus_int16(12000 * std::sin(2 * M_PI * 1000 * (k * 960 + i) / 48000.0));
        unsigned char packet[1275];
        const auto t0 = Clock::now();
        const opus_int32 n = opus_encode(encoder, pcm.data(), 960, packet, sizeof packet);
        encodeUs.push_back(msSince(t0, Clock::now()) * 1000);
        chunks.push_back(opus ? QByteArray(reinterpret_cast<char*>(packet), n)
                              : QByteArray(reinterpret_cast<const char*>(pcm.data()), 1920));
    }
    opus_encoder_destroy(encoder);

    QWebSocket page("https://127.0.0.1:47812");
    QObject::connect(&page, &QWebSocket::sslErrors, [&page] { page.ignoreSslErrors(); });
    page.open(QUrl("wss://127.0.0.1:47812/"));
    pump(Clock::now() + 2s);
    page.sendBinaryMessage(message(1, QByteArray(opus ? "\x01\x01\x01\x04" : "\x01\x02\x01\x04", 4) + kPin));
    pump(Clock::now() + 500ms);

    engine.arrivals.clear();
    std::vector<Clock::time_point> sent;
    const double cpu0 = cpuSeconds(gateway);
    const auto start = Clock::now();
    for (size_t k = 0; k < chunks.size(); ++k) {
        pump(start + k * 20ms);
        sent.push_back(Clock::now());
        page.sendBinaryMessage(message(2, chunks[k]));
    }
    pump(Clock::now() + 500ms);
    Result r;
    r.cpuShare = (cpuSeconds(gateway) - cpu0) / msSince(start, Clock::now()) * 1000;
    page.sendBinaryMessage(message(4, {}));
    pump(Clock::now() + 300ms);
    // The playout buffer keeps the order: the k-th datagram carries the k-th chunk.
    std::vector<double> latency;
    for (size_t k = 0; k < std::min(sent.size(), engine.arrivals.size()); ++k) {
        latency.push_back(msSince(sent[k], engine.arrivals[k]));
    }
    r.matched = latency.size();
    r.p50 = stats::percentile(latency, 50);
    r.p99 = stats::percentile(latency, 99);
    r.encodeUs = stats::median(encodeUs);
    return r;
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
    benchio::Child gateway(web, {"--pin", kPin});
    const std::string link = std::string("https://127.0.0.1:47812/#pin=") + kPin;
    const auto deadline = Clock::now() + 30s;
    // Waiting for its exit reads its output meanwhile.
    while (gateway.output().find(link) == std::string::npos && Clock::now() < deadline &&
           !gateway.waitForExit(20ms)) {
    }
    if (gateway.output().find(link) == std::string::npos) {
        std::fprintf(stderr, "sonvale-web-bench: the gateway did not start\n%s", gateway.output().c_str());
        return 1;
    }
    const Result pcm = stream(gateway.pid(), engine, false, seconds);
    const Result opus = stream(gateway.pid(), engine, true, seconds);
    std::printf(
        "{\"seconds\": %d, \"libopus_encode_us_p50\": %.1f,\n"
        " \"pcm_in\": {\"cpu_percent_of_core\": %.2f, \"message_to_datagram_ms_p50\": %.2f, \"p99\": %.2f, "
        "\"matched\": %zu},\n"
        " \"opus_in\": {\"cpu_percent_of_core\": %.2f, \"message_to_datagram_ms_p50\": %.2f, \"p99\": %.2f, "
        "\"matched\": %zu}}\n",
        seconds, (pcm.encodeUs + opus.encodeUs) / 2, pcm.cpuShare * 100, pcm.p50, pcm.p99, pcm.matched,
        opus.cpuShare * 100, opus.p50, opus.p99, opus.matched);
    return 0;
}
