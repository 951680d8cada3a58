#include "page_message.h"

#include <cassert>
#include <cmath>
#include <cstring>

namespace PageMessage {

namespace {

bool fromPage(uint8_t type) {
    return type >= static_cast<uint8_t>(Type::Hello) && type <= static_cast<uint8_t>(Type::Stamp);
}

std::optional<Hello> parseHello(const std::vector<uint8_t>& body) {
    if (body.size() < 4 || (body[0] != 1 && body[0] != 2) || body[2] > 2) return std::nullopt;
    if (body[1] != static_cast<uint8_t>(Codec::Opus) && body[1] != static_cast<uint8_t>(Codec::Pcm)) {
        return std::nullopt;
    }
    const auto text = [&](size_t from, size_t length) {
        return std::string(body.begin() + static_cast<long>(from),
                           body.begin() + static_cast<long>(from + length));
    };
    const size_t pinLength = body[3];
    if (pinLength > kMaxPin || body.size() < 4 + pinLength) return std::nullopt;
    size_t at = 4 + pinLength;
    size_t tokenLength = 0;
    if (body[0] == 2) {
        if (body.size() < at + 1) return std::nullopt;
        tokenLength = body[at++];
        if ((tokenLength != 0 && tokenLength != kTokenSize) || body.size() < at + tokenLength)
            return std::nullopt;
    }
    if ((pinLength == 0) == (tokenLength == 0) || body.size() > at + tokenLength + kMaxPageId)
        return std::nullopt;
    return Hello{static_cast<Codec>(body[1]), body[2], text(4, pinLength),
                 text(at + tokenLength, body.size() - at - tokenLength), text(at, tokenLength)};
}

}  // namespace

Fault Reader::check(const Message& message, std::optional<Hello>& hello) const {
    const size_t size = message.body.size();
    switch (message.type) {
        case Type::Hello:
            if (hello) return Fault::WrongOrder;
            hello = parseHello(message.body);
            return hello ? Fault::None : Fault::BadBody;
        case Type::Ping:
            return size >= 1 && size <= kMaxPing ? Fault::None : Fault::BadBody;
        default:
            break;
    }
    if (!hello) return Fault::WrongOrder;
    switch (message.type) {
        case Type::Audio:
            if (hello->codec == Codec::Pcm) return size == kPcmChunkBytes ? Fault::None : Fault::BadBody;
            return size >= 1 && size <= kMaxOpusPacket ? Fault::None : Fault::BadBody;
        case Type::Mode:
            return size == 1 && message.body[0] <= 2 ? Fault::None : Fault::BadBody;
        case Type::Stop:
            return size == 0 ? Fault::None : Fault::BadBody;
        case Type::Stamp:
            return size == kStampSize ? Fault::None : Fault::BadBody;
        default:
            return Fault::WrongType;
    }
}

std::optional<std::vector<Message>> Reader::read(const uint8_t* data, size_t size) {
    if (fault_ != Fault::None) return std::nullopt;
    std::vector<Message> messages;
    std::optional<Hello> hello = hello_;
    Fault fault = size == 0 ? Fault::Short : Fault::None;
    size_t at = 0;
    while (fault == Fault::None && at < size) {
        if (size - at < kHeaderSize) {
            fault = Fault::Short;
            break;
        }
        const uint8_t type = data[at];
        const size_t length = data[at + 1] | static_cast<size_t>(data[at + 2]) << 8;
        if (!fromPage(type)) {
            fault = Fault::WrongType;
        } else if (length > kMaxBody) {
            fault = Fault::Oversize;
        } else if (size - at - kHeaderSize < length) {
            fault = Fault::Short;
        } else {
            const uint8_t* body = data + at + kHeaderSize;
            Message message{static_cast<Type>(type), std::vector<uint8_t>(body, body + length)};
            fault = check(message, hello);
            messages.push_back(std::move(message));
            at += kHeaderSize + length;
        }
    }
    if (fault != Fault::None) {
        fault_ = fault;
        return std::nullopt;
    }
    hello_ = std::move(hello);
    return messages;
}

std::optional<double> pingRoundTripMs(const std::vector<uint8_t>& body) {
    if (body.size() != kMaxPing) return std::nullopt;
    uint64_t bits = 0;
    for (size_t i = 0; i < 8; ++i)
        bits |= static_cast<uint64_t>(body[8 + i]) << (8 * i);
    double ms = 0;
    std::memcpy(&ms, &bits, sizeof ms);
    if (!std::isfinite(ms) || ms < 0) return std::nullopt;
    return ms;
}

std::vector<uint8_t> encode(Type type, const uint8_t* body, size_t size) {
    assert(size <= kMaxBody);
    std::vector<uint8_t> out;
    out.reserve(kHeaderSize + size);
    out.push_back(static_cast<uint8_t>(type));
    out.push_back(static_cast<uint8_t>(size & 0xFF));
    out.push_back(static_cast<uint8_t>(size >> 8));
    if (size > 0) out.insert(out.end(), body, body + size);
    return out;
}

std::vector<uint8_t> encode(Type type, const std::string& body) {
    return encode(type, reinterpret_cast<const uint8_t*>(body.data()), body.size());
}

double readTime(const uint8_t* bytes) {
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i)
        bits = bits << 8 | bytes[i];
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::vector<uint8_t> encodeStatement(Type type, uint8_t code, const std::string& sentence) {
    return encode(type, std::string(1, static_cast<char>(code)) + sentence);
}

}  // namespace PageMessage
