// The gateway attacked while a phone streams through it (run inside the test sandbox).
//
//   soak_web [--expect-defences] [--only=N,N...]
//
// Runs the attacks (or those numbered), each bounded in count and time, while a
// phone streams a 1 kHz tone over WSS from its own thread. Prints the section
// "Gateway abuse run" of docs/reliability.md, then one line of JSON; exits 1 only
// with --expect-defences, when a check failed.
#include <QSslSocket>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "audio_analysis.h"
#include "engine_process.h"
#include "gateway_process.h"
#include "net_client.h"
#include "sonvale_protocol.h"
#include "web_page.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kPin = "4711";
const QByteArray kHost = "127.0.0.1:47812";
constexpr uint16_t kPort = sonvale::kWebPort;
constexpr long kRssSlackKb = 5 * 1024;

long msSince(Clock::time_point t0) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}
template <class... Parts>
std::string cat(const Parts&... parts) {
    std::ostringstream out;
    (out << ... << parts);
    return out.str();
}
std::string loopback(int host) {
    return cat("127.0.0.", host);
}

// The one place that says how the gateway gets the engine's PIN.
struct Usage {
    long rssKb = 0;
    long fds = 0;
};
Usage usage(pid_t pid) {
    Usage u;
    std::ifstream status(cat("/proc/", pid, "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) u.rssKb = std::stol(line.substr(6));
    std::error_code e;
    u.fds = std::distance(std::filesystem::directory_iterator(cat("/proc/", pid, "/fd"), e), {});
    return u;
}

// A TLS connection spoken byte by byte, blocking, from a chosen loopback address.
class Tls {
public:
    explicit Tls(const std::string& from = {}) {
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        if (!from.empty()) socket.bind(QHostAddress(QString::fromStdString(from)));
        socket.connectToHostEncrypted("127.0.0.1", kPort);
        socket.waitForEncrypted(5000);
    }
    bool connected() const { return socket.state() == QAbstractSocket::ConnectedState; }
    // False when not all of bytes left within the time.
    bool write(const QByteArray& bytes, long timeoutMs = 5000) {
        socket.write(bytes);
        for (const auto t0 = Clock::now();
             socket.bytesToWrite() > 0 && connected() && msSince(t0) < timeoutMs;)
            socket.waitForBytesWritten(50);
        return socket.bytesToWrite() == 0;
    }
    // One whole response (head and Content-Length body); empty when none came in time.
    QByteArray response(long timeoutMs = 5000) {
        const auto t0 = Clock::now();
        do {
            const qsizetype end = buffer_.indexOf("\r\n\r\n"),
                            at = buffer_.left(end).indexOf("Content-Length: ");
            const qsizetype size = end + 4 + (at < 0 ? 0 : buffer_.mid(at + 16, 8).split('\r')[0].toLong());
            if (end >= 0 && buffer_.size() >= size) {
                const QByteArray whole = buffer_.left(size);
                buffer_.remove(0, size);
                return whole;
            }
        } while (fill(t0, timeoutMs));
        return {};
    }
    bool upgrade() {
        return write("GET /stream HTTP/1.1\r\nHost: " + kHost + "\r\nOrigin: https://" + kHost +
                     "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                     "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n") &&
               response().startsWith("HTTP/1.1 101");
    }
    // The gateway's close frame's code; 0 when it closed without one, -1 when still open.
    int closeCode(long timeoutMs) {
        const auto t0 = Clock::now();
        do {  // the gateway's frames here are short and unmasked
            for (qsizetype at = 0; at + 2 <= buffer_.size(); at += 2 + (buffer_[at + 1] & 0x7F))
                if ((buffer_[at] & 0x0F) == 8)
                    return at + 4 <= buffer_.size() ? uint8_t(buffer_[at + 2]) << 8 | uint8_t(buffer_[at + 3])
                                                    : 0;
        } while (fill(t0, timeoutMs));
        return connected() ? -1 : 0;
    }
    QSslSocket socket;

private:
    bool fill(Clock::time_point t0, long timeoutMs) {
        if (socket.bytesAvailable() == 0 && (!connected() || msSince(t0) >= timeoutMs)) return false;
        socket.waitForReadyRead(20);
        buffer_ += socket.readAll();
        return true;
    }
    QByteArray buffer_;
};

// A client's WebSocket frame with a short payload.
QByteArray wsFrame(uint8_t first, const QByteArray& payload, bool masked = true) {
    const char key[4] = {0x11, 0x22, 0x33, 0x44};
    QByteArray frame = QByteArray(1, char(first)) + char((masked ? 0x80 : 0) | payload.size());
    if (!masked) return frame + payload;
    frame += QByteArray(key, 4);
    for (qsizetype i = 0; i < payload.size(); ++i)
        frame += char(payload[i] ^ key[i % 4]);
    return frame;
}

QByteArray post(const QByteArray& body) {
    return "POST /stream HTTP/1.1\r\nHost: " + kHost + "\r\nOrigin: https://" + kHost +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// TLS handshake and GET / on a fresh connection, in ms; -1 when it failed within 5 s.
long pageLoadMs() {
    const auto t0 = Clock::now();
    Tls tls;
    tls.write("GET / HTTP/1.1\r\nHost: " + kHost + "\r\nConnection: close\r\n\r\n");
    return tls.response().startsWith("HTTP/1.1 200") ? msSince(t0) : -1;
}

// Pings every 500 ms until the gateway ends the page or limitMs pass: the ms it took, or -1.
long pingUntilEnded(Page& page, long limitMs, int& code) {
    const auto t0 = Clock::now();
    while (page.connected() && msSince(t0) < limitMs) {
        page.send(kPing, "p");
        pumpUntil([&] { return !page.connected(); }, 500ms);
        for (auto m = page.next(0ms); m.first; m = page.next(0ms))
            if (m.first == kError) code = m.second.isEmpty() ? 0 : m.second[0];
    }
    return page.connected() ? -1 : msSince(t0);
}

// A phone streaming the tone in a thread of its own, so that attacks may block this one.
class StreamingPhone {
public:
    explicit StreamingPhone(const QByteArray& pageId)
        : thread_(QThread::create([this, pageId] { run(pageId); })) {
        thread_->start();
    }
    ~StreamingPhone() { stop(); }
    bool waitPaired() {
        return waitFor([&] { return state_ != 0; }, 60s) && state_ == 1;
    }
    void stop() {
        stop_ = true;
        thread_->wait();
    }
    // The chunks sent, the ring's frames taken in and those it dropped before the tap saw them.
    struct Mark {
        uint64_t chunks, frames, missed;
    };
    Mark mark() const { return {chunks_, frames_, missed_}; }
    std::vector<float> ring;  // once stopped

private:
    void run(const QByteArray& pageId) {
        RingTap tap;
        Page page;
        if (page.opened()) page.hello(kPin, pageId);
        state_ = page.next().first == kWelcome ? 1 : 2;
        if (state_ != 1) return;
        page.streamTone(1e6, tap, [&] {
            ++chunks_;
            frames_ = tap.frames.size() / 2;
            missed_ = tap.missed;
            return !stop_;
        });
        page.send(kStop, {});
        pumpUntil([&] { return !tap.poll(); }, 300ms);
        ring = std::move(tap.frames);
    }
    std::atomic<int> state_{0};  // 1 paired, 2 refused
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> chunks_{0}, frames_{0}, missed_{0};
    std::unique_ptr<QThread> thread_;
};

// Frames the ring may lack at a window's edges: a few chunks in flight.
constexpr long kEdgeFrames = 3 * 960;

struct Row {
    std::string name, seen;
    bool defended = false;
    long engagedMs = -1, gapMs = 0, pageMs = -1;
    const StreamingPhone* phone = nullptr;
    StreamingPhone::Mark from{}, to{};
    Usage before, after;
    uint64_t chunks() const { return to.chunks - from.chunks; }
    long lostFrames() const {
        return long(chunks() * 960 + from.frames + from.missed - to.frames - to.missed);
    }
};

// Runs one attack between measurements of the gateway and the phone.
class AbuseRun {
public:
    AbuseRun(pid_t gateway, std::string only) : gateway_(gateway), only_(std::move(only)) {}
    template <class Attack>
    void attack(const std::string& name, const StreamingPhone& phone, Attack run) {
        if (!only_.empty() && only_.find(cat(",", std::stoi(name), ",")) == std::string::npos) return;
        std::fprintf(stderr, "== %s\n", name.c_str());
        Row row;
        row.name = name;
        row.phone = &phone;
        row.from = phone.mark();
        row.before = usage(gateway_);
        run(row);
        waitFor([&] { return usage(gateway_).fds <= row.before.fds; }, 15s);
        row.after = usage(gateway_);
        row.to = phone.mark();
        row.pageMs = pageLoadMs();
        std::fprintf(stderr, "   %s\n", row.seen.c_str());
        rows.push_back(row);
    }
    // The phone's longest gap in each of its attacks, once it stopped.
    void measureGaps(const StreamingPhone& phone) {
        for (Row& r : rows)
            if (r.phone == &phone) {
                const size_t to = std::min<size_t>(r.to.frames, phone.ring.size() / 2);
                r.gapMs = long(longestQuiet(phone.ring, 0, r.from.frames, to, 0.02f).length / 48);
            }
    }
    std::vector<Row> rows;

private:
    pid_t gateway_;
    std::string only_;  // ",4,5,": the attacks to run; empty: all
};

void connectAndClose(Row& row) {
    int done = 0;
    for (const auto t0 = Clock::now(); done < 1000 && msSince(t0) < 30000; ++done)
        TcpClient().connect(kPort);
    row.seen = cat(done, " connected and closed");
    row.defended = done == 1000;
}

void stalledHandshakes(Row& row) {
    const std::string partialHello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
    std::vector<TcpClient> wave;
    const auto t0 = Clock::now();
    auto waveStart = t0;
    int waves = 0;
    for (; waves < 10 && msSince(t0) < 40000; ++waves) {  // 100 at a time from 10 addresses, half silent
        wave.clear();
        waveStart = Clock::now();
        for (int i = 0; i < 100 && msSince(t0) < 40000; ++i) {
            TcpClient c;
            if (!c.connect(kPort, "127.0.0.1", loopback(2 + i % 10).c_str())) continue;
            if (i % 2) c.send(partialHello);
            wave.push_back(std::move(c));
        }
        std::this_thread::sleep_for(300ms);
    }
    int closed = 0;  // the last wave stays until the gateway lets it go, 15 s at most
    for (TcpClient& c : wave)
        closed += c.closedByPeer(std::chrono::milliseconds(std::max(0L, 15000 - msSince(waveStart))));
    row.defended = !wave.empty() && closed == int(wave.size());
    row.engagedMs = row.defended ? msSince(waveStart) : -1;
    row.seen = cat(waves, " waves in ", msSince(t0) / 1000, " s; the gateway closed ", closed,
                   " of the last ", wave.size(), " within 15 s");
}

void plainHttp(Row& row) {
    int redirected = 0, done = 0;
    long slowest = 0;
    for (const auto t0 = Clock::now(); done < 1000 && msSince(t0) < 30000; ++done) {
        const auto t = Clock::now();
        TcpClient c;
        if (c.connect(kPort) && c.send("GET / HTTP/1.1\r\nHost: 127.0.0.1:47812\r\n\r\n")) {
            const std::optional<std::string> line = c.readLine(1000ms);
            redirected += line && line->rfind("HTTP/1.1 301", 0) == 0;
        }
        slowest = std::max(slowest, msSince(t));
    }
    row.defended = redirected == done;
    row.engagedMs = redirected ? slowest : -1;
    row.seen = cat(redirected, " of ", done, " answered 301");
}

void pipelinedGets(Row& row, pid_t gateway) {
    Tls tls;
    tls.socket.setReadBufferSize(4096);
    const QByteArray batch = QByteArray("GET /app.js HTTP/1.1\r\nHost: " + kHost + "\r\n\r\n").repeated(1000);
    long peak = row.before.rssKb;
    qint64 queued = 0;
    for (const auto t0 = Clock::now(); tls.connected() && msSince(t0) < 13000;) {  // 10 s writing, 3 s more
        if (queued < (1 << 20) && msSince(t0) < 10000 && tls.socket.bytesToWrite() < batch.size())
            queued += tls.socket.write(batch);
        tls.socket.waitForBytesWritten(100);
        peak = std::max(peak, usage(gateway).rssKb);
    }
    const qint64 taken = queued - tls.socket.bytesToWrite();
    row.defended = taken > 0 && peak - row.before.rssKb < kRssSlackKb;
    row.seen = cat(taken / 1024, " kB taken, no answer read: RSS peak +", peak - row.before.rssKb, " kB",
                   tls.connected() ? "" : ", connection closed");
    tls.socket.abort();
}

void pingsWithoutHello(Row& row) {
    Page page;
    int code = -1;
    const bool opened = page.opened();
    if (opened) row.engagedMs = pingUntilEnded(page, 20000, code);
    row.defended = row.engagedMs > 8000 && row.engagedMs < 12500;
    row.seen = !opened             ? "did not open"
               : row.engagedMs < 0 ? "open after 20 s"
                                   : cat("closed (error ", code, ")");
}

void postFlood(Row& row, pid_t gateway) {
    const QByteArray bodies[] = {encodeMessage(kPing, "p"), encodeMessage(kHello, "\x01\x02"), "xxxx"};
    std::unique_ptr<Tls> tls;
    int done = 0, answered = 0, connections = 0;
    long peak = 0;
    const auto t0 = Clock::now();
    for (; done < 20000 && msSince(t0) < 90000; ++done) {
        if (!tls || !tls->connected()) tls = std::make_unique<Tls>(), ++connections;
        answered += tls->write(post(bodies[done % 3])) && !tls->response(2000).isEmpty();
        if (done % 500 == 0) peak = std::max(peak, usage(gateway).rssKb);
    }
    row.defended = answered == done && peak - row.before.rssKb < kRssSlackKb;
    row.seen = cat(answered, " of ", done, " answered on ", connections, " connections in ",
                   msSince(t0) / 1000, " s; RSS peak +", peak - row.before.rssKb, " kB");
}

void connectionCaps(Row& row) {
    std::vector<TcpClient> one, many;  // the connections the kernel took
    const auto t0 = Clock::now();
    for (int i = 0; i < 300 && msSince(t0) < 30000; ++i) {  // 20 from one address, 10 from each of 28 more
        TcpClient c;
        if (c.connect(kPort, "127.0.0.1", loopback(i < 20 ? 2 : 1 + i / 10).c_str()))
            (i < 20 ? one : many).push_back(std::move(c));
    }
    std::this_thread::sleep_for(1s);
    int closedOne = 0, closedMany = 0;
    for (TcpClient& c : one)
        closedOne += c.closedByPeer(1ms);
    for (TcpClient& c : many)
        closedMany += c.closedByPeer(1ms);
    row.defended = closedOne == 4 && closedMany >= 24;
    row.engagedMs = row.defended ? 1000 : -1;
    row.seen =
        cat("closed within 1 s: ", closedOne, " of ", one.size(), " from one address, ", closedMany, " of ",
            many.size(), " from 28 more; ", 300 - one.size() - many.size(), " connects timed out");
}

void badFraming(Row& row) {
    const char* names[] = {"unmasked", "text", "endless empty continuations"};
    row.defended = true;
    for (int k = 0; k < 3; ++k) {
        Tls tls;
        const bool upgraded = tls.upgrade();
        const auto t0 = Clock::now();
        int code = -1, frames = 0;
        if (k == 0) tls.write(wsFrame(0x82, encodeMessage(kPing, "p"), false));
        if (k == 1) tls.write(wsFrame(0x81, "hello"));
        if (k < 2) code = tls.closeCode(5000);
        const QByteArray empties = wsFrame(0x00, {}).repeated(1000);
        if (k == 2 && tls.write(wsFrame(0x02, "p")))
            for (; code < 0 && frames < 1000000 && msSince(t0) < 10000; frames += 1000) {
                tls.write(empties, 1000);
                code = tls.closeCode(0);
            }
        row.defended = row.defended && upgraded &&
                       code == (k == 0   ? 1002
                                : k == 1 ? 1003
                                         : std::max(code, 0));
        if (code >= 0) row.engagedMs = std::max(row.engagedMs, msSince(t0));
        row.seen += cat(k ? "; " : "", names[k], ": ",
                        !upgraded  ? "no upgrade"
                        : code < 0 ? "open"
                        : code     ? cat("closed ", code)
                                   : "dropped",
                        k == 2 ? cat(" after ", frames, " frames") : "");
    }
}

void pinGuessing(Row& row) {
    int wrong = 0, pausedAt = -1, pauseCode = 0;
    const auto t0 = Clock::now();
    for (int i = 0; i < 40 && pausedAt < 0 && msSince(t0) < 60000; ++i) {
        // 30 wrong PINs spread over 20 addresses, then each from one not heard before.
        Tls tls(loopback(i < 30 ? 2 + i % 20 : 40 + i));
        tls.write(post(encodeMessage(kHello, helloBody("0000", "guess"))));
        const QByteArray answer = tls.response();
        const QByteArray body = answer.mid(answer.indexOf("\r\n\r\n") + 4);
        if (body.size() < 4 || uint8_t(body[0]) != kError) continue;
        if (body[3] == 1) {
            ++wrong;
        } else {
            pausedAt = i;
            pauseCode = body[3];
            row.engagedMs = msSince(t0);
        }
    }
    row.defended = wrong == 30 && pausedAt == 30;
    row.seen = cat(
        wrong, " answered wrong PIN, ",
        pausedAt < 0 ? "never paused" : cat("then refused (error ", pauseCode, ") at guess ", pausedAt + 1));
}

std::string table(const AbuseRun& run) {
    std::string out =
        "| attack | defence observed | engaged after | phone: chunks sent / ring frames (missed by the tap) "
        "/ "
        "frames short / longest gap | gateway RSS kB before → after | descriptors before → after | page load "
        "after |\n|---|---|---|---|---|---|---|\n";
    for (const Row& r : run.rows)
        out += cat("| ", r.name, " | ", r.seen, r.defended ? "" : " (no defence)", " | ",
                   r.engagedMs < 0 ? "—" : cat(r.engagedMs, " ms"), " | ", r.chunks(), " / ",
                   r.to.frames - r.from.frames, " (", r.to.missed - r.from.missed, ") / ", r.lostFrames(),
                   " / ", r.gapMs, " ms | ", r.before.rssKb, " → ", r.after.rssKb, " | ", r.before.fds, " → ",
                   r.after.fds, " | ", r.pageMs < 0 ? "failed" : cat(r.pageMs, " ms"), " |\n");
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    bool expectDefences = false;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        expectDefences = expectDefences || arg == "--expect-defences";
        if (arg.rfind("--only=", 0) == 0) only = "," + arg.substr(7) + ",";
    }
    QTemporaryDir dataHome;  // the gateway's certificate
    setenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()).constData(), 1);
    EngineProcess engine(EngineProcess::withPin(kPin));
    std::unique_ptr<ChildProcess> gateway = startGateway(kPin);
    if (!engine.waitReady() || !gateway) return 1;
    const pid_t pid = gateway->pid();
    StreamingPhone first("first");
    if (!first.waitPaired()) return 1;
    std::this_thread::sleep_for(2s);
    AbuseRun run(pid, only);
    const Usage baseline = usage(pid);
    run.attack("1. 1,000 connect and close", first, connectAndClose);
    run.attack("2. 1,000 stalled TLS handshakes, 100 at a time", first, stalledHandshakes);
    run.attack("3. 1,000 plain-HTTP requests", first, plainHttp);
    run.attack("4. 1 MB of pipelined GET /app.js, never read", first, [&](Row& r) { pipelinedGets(r, pid); });
    run.attack("5. a WebSocket that pings and never says hello", first, pingsWithoutHello);
    run.attack("6. 20,000 POST /stream without a valid hello", first, [&](Row& r) { postFlood(r, pid); });
    run.attack("7. 20 connections from one address, 280 from 28 more", first, connectionCaps);
    run.attack("8. bad WebSocket framing after an upgrade", first, badFraming);
    first.stop();
    run.measureGaps(first);
    run.attack("10. a paired page that sends only pings", first, [&](Row& row) {
        Page pinger;
        int code = -1;
        if (pinger.opened()) pinger.hello(kPin, "pinger");
        const bool paired = pinger.next().first == kWelcome;
        if (paired) row.engagedMs = pingUntilEnded(pinger, 12000, code);
        row.defended = row.engagedMs > 4000 && row.engagedMs < 7500;
        row.seen = !paired             ? "could not pair"
                   : row.engagedMs < 0 ? "kept its slot for 12 s"
                                       : cat("lost its slot (error ", code, ")");
        if (pinger.connected()) pinger.send(kStop, {}), pinger.closed();
    });
    StreamingPhone fresh("fresh");  // once the first stopped and the pinger is gone
    const bool freshStreams = fresh.waitPaired();
    std::this_thread::sleep_for(2s);  // as for the first: its stream has reached the engine
    run.attack("9. wrong PINs from 20 addresses", fresh, pinGuessing);
    fresh.stop();
    run.measureGaps(fresh);
    waitFor([&] { return usage(pid).fds <= baseline.fds; }, 15s);
    const Usage end = usage(pid);

    auto all = [&](auto holds) { return std::all_of(run.rows.begin(), run.rows.end(), holds); };
    const std::pair<const char*, bool> checks[] = {
        {"phone_lost_nothing",
         all([](const Row& r) { return r.gapMs == 0 && r.lostFrames() <= kEdgeFrames; })},
        {"page_loads_within_1s", all([](const Row& r) { return r.pageMs >= 0 && r.pageMs <= 1000; })},
        {"fresh_phone_streams", freshStreams},
        {"descriptors_back_to_baseline", end.fds <= baseline.fds},
        {"rss_within_5MiB_of_baseline", end.rssKb - baseline.rssKb <= kRssSlackKb},
        {"every_defence_engaged", all([](const Row& r) { return r.defended; })},
    };
    bool pass = true;
    std::string json =
        cat("{\"rss_kb\":[", baseline.rssKb, ",", end.rssKb, "],\"fds\":[", baseline.fds, ",", end.fds, "]");
    std::string list;
    for (const auto& [name, holds] : checks) {
        pass = pass && holds;
        json += cat(",\"", name, "\":", holds ? "true" : "false");
        list += cat("- `", name, "`: ", holds ? "holds" : "FAILS", "\n");
    }
    std::printf(
        "## Gateway abuse run\n\nThe real engine and gateway in the sandbox; a page streams a 1 kHz tone "
        "over WSS throughout (a fresh one from attack 10 on). The gateway: %ld kB RSS and %ld descriptors "
        "at the start, %ld kB and %ld at the end. Reproduce: `scripts/sandbox.sh build/bin/soak_web`.\n\n"
        "%s\nAcceptance:\n\n%s\n",
        baseline.rssKb, baseline.fds, end.rssKb, end.fds, table(run).c_str(), list.c_str());
    std::printf("%s,\"pass\":%s}\n", json.c_str(), pass ? "true" : "false");
    return expectDefences && !pass ? 1 : 0;
}
