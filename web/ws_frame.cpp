// A frame is read byte by byte into its header (2 to 14 bytes), then its
// payload is unmasked straight into the message or control buffer. Each rule
// is checked as soon as the header bytes it needs are in, so a frame that
// breaks one is never buffered, and the limits are known before any payload.
#include "ws_frame.h"

#include <algorithm>

namespace {

enum Opcode : uint8_t {
    kContinuation = 0x0,
    kText = 0x1,
    kBinary = 0x2,
    kClose = 0x8,
    kPing = 0x9,
    kPong = 0xA
};

bool isControl(uint8_t opcode) {
    return (opcode & 0x08) != 0;
}

// The codes a peer may put in a close frame.
bool isValidCloseCode(uint16_t code) {
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1011) || (code >= 3000 && code <= 4999);
}

std::vector<uint8_t> frame(uint8_t opcode, const uint8_t* data, size_t size) {
    std::vector<uint8_t> out;
    out.reserve(size + 10);
    out.push_back(uint8_t(0x80 | opcode));
    if (size < 126) {
        out.push_back(uint8_t(size));
    } else if (size <= 0xFFFF) {
        out.push_back(126);
        out.push_back(uint8_t(size >> 8));
        out.push_back(uint8_t(size & 0xFF));
    } else {
        out.push_back(127);
        for (int shift = 56; shift >= 0; shift -= 8)
            out.push_back(uint8_t(uint64_t(size) >> shift));
    }
    out.insert(out.end(), data, data + size);
    return out;
}

}  // namespace

std::vector<uint8_t> WsFrame::binary(const uint8_t* data, size_t size) {
    return frame(kBinary, data, size);
}

std::vector<uint8_t> WsFrame::pong(const std::vector<uint8_t>& payload) {
    return frame(kPong, payload.data(), payload.size());
}

std::vector<uint8_t> WsFrame::close(uint16_t code) {
    const uint8_t payload[2] = {uint8_t(code >> 8), uint8_t(code & 0xFF)};
    return frame(kClose, payload, code == 0 ? 0 : 2);
}

std::vector<WsEvent> WsFrameReader::read(const uint8_t* data, size_t size) {
    std::vector<WsEvent> events;
    size_t at = 0;
    while (at < size && stage_ != Stage::Done) {
        if (stage_ == Stage::Header) {
            header_[headerHave_++] = data[at++];
            if (headerHave_ == 2) {
                if (const uint16_t code = checkStart()) {
                    fail(code, events);
                    break;
                }
            }
            if (headerHave_ < 2 || headerHave_ < headerSize()) continue;
            uint64_t length = header_[1] & 0x7F;
            if (length >= 126) {
                const size_t bytes = length == 126 ? 2 : 8;
                length = 0;
                for (size_t i = 0; i < bytes; ++i)
                    length = (length << 8) | header_[2 + i];
            }
            if (const uint16_t code = checkLength(length)) {
                fail(code, events);
                break;
            }
            startPayload(length);
            if (remaining_ == 0) endFrame(events);
            continue;
        }
        const size_t take = size_t(std::min<uint64_t>(size - at, remaining_));
        std::vector<uint8_t>& into = isControl(header_[0] & 0x0F) ? control_ : message_;
        const uint8_t* mask = header_ + headerSize() - 4;
        for (size_t i = 0; i < take; ++i)
            into.push_back(uint8_t(data[at + i] ^ mask[maskAt_++ & 3]));
        at += take;
        remaining_ -= take;
        if (remaining_ == 0) endFrame(events);
    }
    return events;
}

size_t WsFrameReader::headerSize() const {
    const uint8_t length = header_[1] & 0x7F;
    return 2 + (length == 126 ? 2 : length == 127 ? 8 : 0) + 4;
}

uint16_t WsFrameReader::checkStart() const {
    const uint8_t opcode = header_[0] & 0x0F;
    const bool fin = (header_[0] & 0x80) != 0;
    const bool known = opcode <= kBinary || (opcode >= kClose && opcode <= kPong);
    if ((header_[0] & 0x70) != 0 || !known || (header_[1] & 0x80) == 0) return WsFrame::kProtocolError;
    if (isControl(opcode)) {
        return !fin || (header_[1] & 0x7F) > WsFrame::kMaxControlPayload ? WsFrame::kProtocolError : 0;
    }
    if ((opcode == kContinuation) != (fragments_ > 0)) return WsFrame::kProtocolError;
    return opcode == kText ? WsFrame::kUnsupportedData : 0;
}

uint16_t WsFrameReader::checkLength(uint64_t length) const {
    if (length >> 63) return WsFrame::kProtocolError;
    if (isControl(header_[0] & 0x0F)) return 0;
    if (fragments_ + 1 > WsFrame::kMaxFragments) return WsFrame::kPolicyViolation;
    if (length > WsFrame::kMaxMessage - message_.size()) return WsFrame::kTooBig;
    return 0;
}

void WsFrameReader::startPayload(uint64_t length) {
    stage_ = Stage::Payload;
    remaining_ = length;
    maskAt_ = 0;
    if (isControl(header_[0] & 0x0F)) {
        control_.clear();
    } else {
        ++fragments_;
    }
}

void WsFrameReader::endFrame(std::vector<WsEvent>& events) {
    const uint8_t opcode = header_[0] & 0x0F;
    const bool fin = (header_[0] & 0x80) != 0;
    stage_ = Stage::Header;
    headerHave_ = 0;
    if (opcode == kClose) {
        const uint16_t code = control_.size() >= 2 ? uint16_t(control_[0] << 8 | control_[1]) : 0;
        if (control_.size() == 1 || (control_.size() >= 2 && !isValidCloseCode(code))) {
            fail(WsFrame::kProtocolError, events);
            return;
        }
        events.push_back({WsEvent::Kind::Close, {}, code});
        stage_ = Stage::Done;
    } else if (opcode == kPing) {
        events.push_back({WsEvent::Kind::Ping, std::move(control_), 0});
        control_.clear();
    } else if (opcode != kPong && fin) {
        events.push_back({WsEvent::Kind::Message, std::move(message_), 0});
        message_.clear();
        fragments_ = 0;
    }
}

void WsFrameReader::fail(uint16_t code, std::vector<WsEvent>& events) {
    events.push_back({WsEvent::Kind::Violation, {}, code});
    stage_ = Stage::Done;
}
