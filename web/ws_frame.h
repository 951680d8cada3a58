#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The server's side of WebSocket framing (RFC 6455), without a socket: what a
// page sends is read into events, what the gateway sends is written as frames.
namespace WsFrame {

// Close codes the gateway sends.
enum Code : uint16_t {
    kNormal = 1000,
    kProtocolError = 1002,
    kUnsupportedData = 1003,
    kPolicyViolation = 1008,
    kTooBig = 1009,
};

inline constexpr size_t kMaxMessage = 16384;
inline constexpr size_t kMaxFragments = 8;
inline constexpr size_t kMaxControlPayload = 125;
inline constexpr size_t kMaxHeader = 14;

// Unmasked server frames, always whole (FIN set).
std::vector<uint8_t> binary(const uint8_t* data, size_t size);
// payload: at most kMaxControlPayload bytes (the ping's).
std::vector<uint8_t> pong(const std::vector<uint8_t>& payload);
// code 0: a close frame without a code.
std::vector<uint8_t> close(uint16_t code);

}  // namespace WsFrame

struct WsEvent {
    enum class Kind : uint8_t { Message, Ping, Close, Violation };
    Kind kind;
    std::vector<uint8_t> payload;  // Message: the binary message; Ping: its payload
    uint16_t code = 0;             // Close: the page's code (0 if none); Violation: the code to close with
};

// Reads the frames one page sends, whatever the byte boundaries, and holds
// them to the rules:
// - every frame masked, no RSV bit, a known opcode, else 1002;
// - control frames (close, ping, pong) unfragmented with at most 125 bytes,
//   a close payload either empty or a valid code (its reason is not checked),
//   else 1002; pongs are dropped;
// - a continuation only inside a fragmented message, no new data frame
//   inside one, a 64-bit length without its top bit, else 1002;
// - a text frame is refused at its header: 1003;
// - a message of more than kMaxMessage bytes: 1009, of more than
//   kMaxFragments frames: 1008 (both seen at the header of the frame that
//   goes over, the fragment count first).
// The first violation is the last event, and after a close or a violation
// every later byte is ignored. Holds at most one message (kMaxMessage), one
// control payload and one header, however the input is cut.
class WsFrameReader {
public:
    std::vector<WsEvent> read(const uint8_t* data, size_t size);
    // A close or a violation was read: nothing more will be.
    bool done() const { return stage_ == Stage::Done; }

private:
    enum class Stage { Header, Payload, Done };

    size_t headerSize() const;
    // Checks the header so far; 0 while it is fine.
    uint16_t checkStart() const;
    uint16_t checkLength(uint64_t length) const;
    void startPayload(uint64_t length);
    void endFrame(std::vector<WsEvent>& events);
    void fail(uint16_t code, std::vector<WsEvent>& events);

    Stage stage_ = Stage::Header;
    uint8_t header_[WsFrame::kMaxHeader] = {};
    size_t headerHave_ = 0;
    uint64_t remaining_ = 0;
    size_t maskAt_ = 0;
    std::vector<uint8_t> message_;
    size_t fragments_ = 0;  // frames of the message being read; 0 when none is
    std::vector<uint8_t> control_;
};
