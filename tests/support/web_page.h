// A page of the browser sender as the gateway meets it: its side of the
// WebSocket over TLS, speaking the messages byte by byte.
#pragma once

#include <QWebSocket>
#include <QtEndian>

#include <array>
#include <cmath>
#include <functional>
#include <string>
#include <utility>

#include "qt_wait.h"
#include "ring_tap.h"

namespace testsupport {

inline const QString kOrigin = "https://127.0.0.1:47812";

enum : uint8_t {
    kHello = 1,
    kAudio = 2,
    kStop = 4,
    kPing = 5,
    kWelcome = 0x81,
    kNotice = 0x82,
    kError = 0x83,
    kStats = 0x86
};

// One page message: type, 16-bit little-endian body length, body.
inline QByteArray encodeMessage(uint8_t type, const QByteArray& body) {
    return QByteArray(1, char(type)) + char(body.size() & 0xFF) + char(body.size() >> 8) + body;
}
// A hello's body: PCM at the normal latency.
inline QByteArray helloBody(const std::string& pin, const QByteArray& pageId = "page") {
    return QByteArray("\x01\x02\x01", 3) + char(pin.size()) + QByteArray::fromStdString(pin) + pageId;
}

// A page's side of the WebSocket, speaking the messages byte by byte.
class Page {
public:
    explicit Page(const QString& origin = kOrigin) : ws_(origin) {
        QObject::connect(&ws_, &QWebSocket::sslErrors, [this] { ws_.ignoreSslErrors(); });
        QObject::connect(&ws_, &QWebSocket::binaryMessageReceived, [this](const QByteArray& m) {
            (m.startsWith(char(kStats)) ? stats_ : inbox_).append(m);
        });
        ws_.open(QUrl("wss://127.0.0.1:47812/stream"));
    }
    bool opened() {
        pumpUntil([&] { return ws_.state() != QAbstractSocket::ConnectingState; });
        return ws_.state() == QAbstractSocket::ConnectedState;
    }
    bool connected() const { return ws_.state() == QAbstractSocket::ConnectedState; }
    void send(uint8_t type, const QByteArray& body) { ws_.sendBinaryMessage(encodeMessage(type, body)); }
    void hello(const std::string& pin, const QByteArray& pageId = "page") {
        send(kHello, helloBody(pin, pageId));
    }
    // Stats messages, which come once a second while streaming, are kept apart.
    const QList<QByteArray>& stats() const { return stats_; }
    // The next message's type and body; type 0 when none came or the socket closed.
    std::pair<uint8_t, QByteArray> next(std::chrono::milliseconds timeout = 20s) {
        pumpUntil([&] { return !inbox_.isEmpty() || ws_.state() == QAbstractSocket::UnconnectedState; },
                  timeout);
        if (inbox_.isEmpty()) return {0, {}};
        const QByteArray m = inbox_.takeFirst();
        return {uint8_t(m[0]), m.mid(3)};
    }
    bool closed() {
        return pumpUntil([&] { return ws_.state() == QAbstractSocket::UnconnectedState; });
    }
    // A 1 kHz tone at half scale as 20 ms PCM chunks, paced by the clock, until
    // seconds pass or more() (asked after each chunk) says no; returns the chunks sent.
    int streamTone(double seconds, RingTap& tap, const std::function<bool()>& more = {}) {
        const auto start = std::chrono::steady_clock::now();
        for (int k = 0; k < int(seconds * 50); ++k) {
            std::array<int16_t, 960> pcm{};
            for (int i = 0; i < 960; ++i)
                pcm[size_t(i)] = qToLittleEndian(
                    int16_t(std::lround(16383 * std::sin(2 * M_PI * 1000 * (k * 960 + i) / 48000.0))));
            send(kAudio, QByteArray(reinterpret_cast<const char*>(pcm.data()), 1920));
            pumpUntil([&] {
                tap.poll();
                return std::chrono::steady_clock::now() >= start + k * 20ms;
            });
            if (more && !more()) return k + 1;
        }
        return int(seconds * 50);
    }

private:
    QWebSocket ws_;
    QList<QByteArray> inbox_;
    QList<QByteArray> stats_;
};

}  // namespace testsupport
