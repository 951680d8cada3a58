// What a browser sends the web gateway: the HTTP request heads, the WebSocket
// frames and the page's messages, with the properties every accepted input
// must keep. The gateway's parsers are compiled in here so the target builds
// whether or not the gateway is; the page's messages come from the protocol.
#include <cstdlib>
#include <cstring>

#include "../web/http_request.cpp"
#include "../web/ws_frame.cpp"
#include "page_message.h"

namespace {

void check(bool holds) {
    if (!holds) std::abort();
}

void requestHead(const uint8_t* data, size_t size) {
    HttpRequest request;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (HttpHead::parse(text, request) != HttpHead::Status::Complete) return;
    check(request.headSize <= size && request.headSize <= HttpHead::kMaxHead);
    check(!request.target.empty() && request.target[0] == '/');
    for (const auto& field : request.fields)
        check((field.first + field.second).find('\n') == std::string::npos);
    request.wantsWebSocket();
    request.keepAlive();
}

// A session's units, cut at each 0xFF byte.
void pageUnits(const uint8_t* data, size_t size) {
    PageMessage::Reader reader;
    bool faulted = false;
    while (size > 0) {
        const void* cut = std::memchr(data, 0xFF, size);
        const size_t length = cut ? static_cast<size_t>(static_cast<const uint8_t*>(cut) - data) : size;
        const auto messages = reader.read(data, length);
        check(!(faulted && messages));
        faulted = faulted || !messages;
        check(faulted == (reader.fault() != PageMessage::Fault::None));
        for (const PageMessage::Message& m : messages.value_or(std::vector<PageMessage::Message>{})) {
            check(static_cast<uint8_t>(m.type) <= 0x05 && m.body.size() <= PageMessage::kMaxBody);
            check(m.type == PageMessage::Type::Hello || m.type == PageMessage::Type::Ping ||
                  reader.helloSeen());
        }
        data += cut ? length + 1 : length;
        size -= cut ? length + 1 : length;
    }
}

// A page's frames, read whole and byte by byte: the same events either way,
// nothing after a close or a violation, and nothing over the limits.
void webSocketFrames(const uint8_t* data, size_t size) {
    WsFrameReader whole;
    WsFrameReader split;
    const std::vector<WsEvent> events = whole.read(data, size);
    std::vector<WsEvent> pieces;
    for (size_t i = 0; i < size; ++i) {
        for (WsEvent& event : split.read(data + i, 1))
            pieces.push_back(std::move(event));
    }
    check(pieces.size() == events.size() && whole.done() == split.done());
    for (size_t i = 0; i < events.size(); ++i) {
        const WsEvent& event = events[i];
        check(event.kind == pieces[i].kind && event.payload == pieces[i].payload &&
              event.code == pieces[i].code);
        check(event.kind == WsEvent::Kind::Message || event.payload.size() <= WsFrame::kMaxControlPayload);
        check(event.payload.size() <= WsFrame::kMaxMessage);
        const bool last = event.kind == WsEvent::Kind::Close || event.kind == WsEvent::Kind::Violation;
        check(last == (i + 1 == events.size() && whole.done()));
    }
}

}  // namespace

// First byte mod 4: 2 for WebSocket frames, else even for an HTTP head, odd for
// the page's units.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    (data[0] % 4 == 2 ? webSocketFrames : data[0] % 2 == 0 ? requestHead : pageUnits)(data + 1, size - 1);
    return 0;
}
