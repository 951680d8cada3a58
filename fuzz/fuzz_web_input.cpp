// What a browser sends the web gateway: the HTTP request heads and the page's
// messages, with the properties every accepted input must keep. The parsers are
// compiled in here so the target builds whether or not the gateway is.
#include <cstdlib>
#include <cstring>

#include "../web/http_request.cpp"
#include "../web/page_message.cpp"

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

}  // namespace

// First byte: even for an HTTP head, odd for the page's units.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    (data[0] % 2 == 0 ? requestHead : pageUnits)(data + 1, size - 1);
    return 0;
}
