#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The messages between the page and the gateway, the same on both transports
// (a WebSocket message or a POST body carries one or more of them).
//
// Every message: type (1 byte), body length (2 bytes, little-endian), body.
// Page to gateway:
//   Hello  version 1, codec (1 Opus, 2 PCM), mode (0..2), the PIN's length and
//          the PIN (1..32 bytes), then the page's own id (0..16 bytes): a page
//          that reconnects takes its stream back. Version 2 (a phone paired
//          before): the PIN's length may be 0, and after the PIN come the
//          token's length (0 or kTokenSize) and the token; one of the two is
//          given
//   Audio  one 20 ms chunk: an Opus packet (1..1275 bytes) or 960 mono
//          16-bit little-endian samples at 48 kHz (1920 bytes)
//   Mode   the latency choice (0 low, 1 normal, 2 steady)
//   Stop   empty: the person tapped Stop
//   Ping   1..16 bytes, echoed as Pong. A 16-byte Ping carries the page's
//          clock, then its latest round trip in ms (float64 little-endian
//          each; negative while it has none), for the gateway's statistics
//   Stamp  the page's clock (ms, float64) when the first sample of the next
//          Audio message was captured
// Gateway to page:
//   Welcome  the computer's name (UTF-8): the PIN was right, streaming may begin
//   Notice   a code and a sentence about the stream that keeps it open
//   Error    a code and a sentence; the gateway ends the session after it
//   Token    kTokenSize random bytes after a Welcome for a PIN: given in a
//            later Hello instead of the PIN, whatever the PIN is then
//   Pong     the Ping's bytes
//   Stats    once a second while streaming: how the stream goes, as the
//            gateway sees it, a JSON object in UTF-8 (the gateway's "stats"
//            event without its "event" member)
namespace PageMessage {

enum class Type : uint8_t {
    Hello = 0x01,
    Audio = 0x02,
    Mode = 0x03,
    Stop = 0x04,
    Ping = 0x05,
    Stamp = 0x06,
    Welcome = 0x81,
    Notice = 0x82,
    Error = 0x83,
    Token = 0x84,
    Pong = 0x85,
    Stats = 0x86,
};

enum class Codec : uint8_t { Opus = 1, Pcm = 2 };

// A Notice's code: how the stream goes.
enum class NoticeCode : uint8_t { Streaming = 1, EngineDown = 2 };

// An Error's code: why the gateway ended the session.
enum class ErrorCode : uint8_t {
    WrongPin = 1,
    Throttled = 2,      // too many wrong PINs from this address
    Busy = 3,           // another page streams
    Confused = 4,       // the page's bytes broke these rules
    NoHello = 5,        // no Hello in time
    EngineRefused = 6,  // the engine refused the gateway's PIN
    Silent = 7,         // nothing at all arrived for a while
    NoSound = 8,        // the stream sent pings but no audio for a while
    PairingPaused = 9,  // too many wrong PINs from the whole network
    UnknownToken = 10,  // a token this computer does not know (or forgot): ask for the PIN
};

inline constexpr size_t kHeaderSize = 3;
inline constexpr size_t kMaxBody = 2048;
inline constexpr size_t kPcmChunkBytes = 960 * 2;
inline constexpr size_t kMaxOpusPacket = 1275;
inline constexpr size_t kMaxPin = 32;
inline constexpr size_t kMaxPing = 16;
inline constexpr size_t kStampSize = 8;
inline constexpr size_t kMaxPageId = 16;
inline constexpr size_t kTokenSize = 32;

struct Message {
    Type type;
    std::vector<uint8_t> body;
};

struct Hello {
    Codec codec;
    int mode;
    std::string pin;  // empty when a token is given
    std::string pageId;
    std::string token;  // kTokenSize bytes, or empty
};

// Why a page's bytes were refused.
enum class Fault { None, Short, Oversize, WrongType, BadBody, WrongOrder };

// Reads what one page sends over its whole session, one transport unit at a
// time, and holds it to the rules: whole messages only (a unit never ends
// inside one), only page-to-gateway types, bodies as each type allows, a Hello
// first and only once. The first fault is final: every later unit is refused.
class Reader {
public:
    // The unit's messages in order, or the fault (none of the unit is used).
    std::optional<std::vector<Message>> read(const uint8_t* data, size_t size);
    Fault fault() const { return fault_; }
    bool helloSeen() const { return hello_.has_value(); }
    const std::optional<Hello>& hello() const { return hello_; }

private:
    Fault check(const Message& message, std::optional<Hello>& hello) const;

    Fault fault_ = Fault::None;
    std::optional<Hello> hello_;
};

// The round trip a 16-byte Ping body reports, in ms; nullopt for any other
// body or a negative (or not finite) number.
std::optional<double> pingRoundTripMs(const std::vector<uint8_t>& body);

// One message's wire image; the body must not exceed kMaxBody.
std::vector<uint8_t> encode(Type type, const uint8_t* body, size_t size);
std::vector<uint8_t> encode(Type type, const std::string& body);
// A page's time (a Ping's or a Stamp's): float64, little-endian, at bytes.
double readTime(const uint8_t* bytes);
// A Notice or an Error: the code, then the sentence.
std::vector<uint8_t> encodeStatement(Type type, uint8_t code, const std::string& sentence);

}  // namespace PageMessage
