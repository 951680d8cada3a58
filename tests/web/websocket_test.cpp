// The gateway's side of a WebSocket: the opening handshake and the frames.
#include <gtest/gtest.h>

#include "ws_frame.h"
#include "ws_handshake.h"

// Beside WsEvent, so the standard library's comparisons find it.
static bool operator==(const WsEvent& a, const WsEvent& b) {
    return a.kind == b.kind && a.payload == b.payload && a.code == b.code;
}

namespace {

using Bytes = std::vector<uint8_t>;
using Kind = WsEvent::Kind;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A page's frame: first byte as given (FIN, RSV, opcode), payload masked
// unless said otherwise. withPayload false leaves only the header.
Bytes frame(uint8_t first, const Bytes& payload, bool masked = true, bool withPayload = true) {
    const uint8_t mask[4] = {0x11, 0x22, 0x33, 0x44};
    const uint8_t maskBit = masked ? 0x80 : 0;
    Bytes out{first};
    if (payload.size() < 126) {
        out.push_back(uint8_t(maskBit | payload.size()));
    } else {
        out.insert(out.end(),
                   {uint8_t(maskBit | 126), uint8_t(payload.size() >> 8), uint8_t(payload.size())});
    }
    if (masked) out.insert(out.end(), mask, mask + 4);
    for (size_t i = 0; withPayload && i < payload.size(); ++i)
        out.push_back(masked ? uint8_t(payload[i] ^ mask[i % 4]) : payload[i]);
    return out;
}

struct Case {
    const char* name;
    Bytes input;
    std::vector<WsEvent> events;
};

TEST(WsFrameReader, ReadsMessagesAndRefusesEachBrokenRuleWithItsCode) {
    const Bytes fragment(2048, 7);
    Bytes eightFragments = frame(0x02, fragment);
    for (int i = 0; i < 6; ++i)
        eightFragments = eightFragments + frame(0x00, fragment);
    const Bytes nineFragments = eightFragments + frame(0x00, {}) + frame(0x80, {});
    eightFragments = eightFragments + frame(0x80, fragment);

    const Case cases[] = {
        {"binary message", frame(0x82, {1, 2, 3}), {{Kind::Message, {1, 2, 3}}}},
        {"fragments joined around a ping",
         frame(0x02, {1}) + frame(0x89, {9}) + frame(0x00, {2}) + frame(0x80, {3}),
         {{Kind::Ping, {9}}, {Kind::Message, {1, 2, 3}}}},
        {"pong dropped", frame(0x8A, {5}) + frame(0x82, {}), {{Kind::Message, {}}}},
        {"close with its code, then nothing",
         frame(0x88, {0x03, 0xE8, 'b', 'y'}) + frame(0x82, {1}),
         {{Kind::Close, {}, 1000}}},
        {"close without a code", frame(0x88, {}), {{Kind::Close, {}, 0}}},
        {"largest message in most fragments", eightFragments, {{Kind::Message, Bytes(16384, 7)}}},
        {"unmasked", frame(0x82, {1}, false), {{Kind::Violation, {}, 1002}}},
        {"RSV bit", frame(0xC2, {1}), {{Kind::Violation, {}, 1002}}},
        {"unknown opcode", frame(0x83, {1}), {{Kind::Violation, {}, 1002}}},
        {"fragmented ping", frame(0x09, {}), {{Kind::Violation, {}, 1002}}},
        {"ping of 126 bytes", frame(0x89, Bytes(126)), {{Kind::Violation, {}, 1002}}},
        {"close with one byte", frame(0x88, {3}), {{Kind::Violation, {}, 1002}}},
        {"close with code 1005", frame(0x88, {0x03, 0xED}), {{Kind::Violation, {}, 1002}}},
        {"continuation without a message", frame(0x80, {1}), {{Kind::Violation, {}, 1002}}},
        {"new message inside a fragmented one",
         frame(0x02, {1}) + frame(0x82, {2}),
         {{Kind::Violation, {}, 1002}}},
        {"64-bit length with its top bit, header only",
         Bytes{0x82, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 1, 0x11, 0x22, 0x33, 0x44},
         {{Kind::Violation, {}, 1002}}},
        {"text, after a message",
         frame(0x82, {1}) + frame(0x81, {'a'}) + frame(0x82, {2}),
         {{Kind::Message, {1}}, {Kind::Violation, {}, 1003}}},
        {"one byte too many, header only",
         frame(0x02, Bytes(16384)) + frame(0x80, {1}, true, false),
         {{Kind::Violation, {}, 1009}}},
        {"nine fragments", nineFragments, {{Kind::Violation, {}, 1008}}},
    };
    for (const Case& c : cases) {
        WsFrameReader whole, split;
        std::vector<WsEvent> pieces;
        for (size_t at = 0; at < c.input.size(); ++at)
            for (WsEvent& e : split.read(c.input.data() + at, 1))
                pieces.push_back(std::move(e));
        EXPECT_EQ(whole.read(c.input.data(), c.input.size()), c.events) << c.name;
        EXPECT_EQ(pieces, c.events) << c.name << ", byte by byte";
    }
}

TEST(WsHandshake, AcceptsOnlyAVersion13UpgradeWithA16ByteKey) {
    const std::string good =
        "Upgrade: websocket\r\nConnection: keep-alive, Upgrade\r\nSec-WebSocket-Version: 13\r\n";
    const std::string key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    const std::pair<std::string, QByteArray> cases[] = {
        {good + key, ""},
        {"Upgrade: WebSocket\r\nConnection: UPGRADE\r\nSec-WebSocket-Version: 13\r\n" + key, ""},
        {"Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 8\r\n" + key,
         "HTTP/1.1 426 Upgrade Required\r\nSec-WebSocket-Version: 13\r\n"},
        {good, "HTTP/1.1 400"},
        {good + "Sec-WebSocket-Key: AAAAAAAAAAAAAAAAAAAA\r\n", "HTTP/1.1 400"},  // 15 bytes
        {"Upgrade: websocket\r\nConnection: keep-alive\r\nSec-WebSocket-Version: 13\r\n" + key,
         "HTTP/1.1 400"},
    };
    for (const auto& [fields, refusal] : cases) {
        HttpRequest request;
        ASSERT_EQ(HttpHead::parse("GET /stream HTTP/1.1\r\nHost: h\r\n" + fields + "\r\n", request),
                  HttpHead::Status::Complete);
        EXPECT_TRUE(WsHandshake::refusal(request).startsWith(refusal)) << fields;
        EXPECT_EQ(WsHandshake::refusal(request).isEmpty(), refusal.isEmpty()) << fields;
    }
    HttpRequest request;
    HttpHead::parse("GET /stream HTTP/1.1\r\n" + good + key + "\r\n", request);
    EXPECT_TRUE(
        WsHandshake::acceptance(request).contains("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"));
}

}  // namespace
