#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The lines on the engine's control port (TCP): each is one compact JSON object
// ended by a line feed (one CR before it is dropped on input). The builders
// return a line without its line feed.
//
// The engine does not parse JSON: it recognises a message by a fixed byte
// sequence anywhere in the line, with no white space inside it ("t": "ping" with
// a blank is not a ping). A line that is both a ping and a hello is a ping.
//
// Sender to engine:
//   ping   {"t":"ping","id":N}   echoed byte for byte, before and after a hello
//   hello  {"t":"hello","pin":"P"}   answered hello_ok or hello_err
//   mode   {"t":"mode","mode":D}  the latency choice, D 0..2
// Engine to sender: the ping's echo, hello_ok, hello_err; nothing unprompted.
namespace ControlLine {

inline constexpr std::string_view kHelloOk = "{\"t\":\"hello_ok\"}";
inline constexpr std::string_view kHelloErr = "{\"t\":\"hello_err\"}";

// The PIN is written as a JSON string, so a quote or backslash in it is escaped.
std::string hello(std::string_view pin);
std::string ping(uint64_t id);
std::string mode(int mode);

bool isPing(std::string_view line);
bool isHello(std::string_view line);

// True when line is a hello whose first "pin": key (blanks and tabs allowed
// before the opening quote) holds pin as a string: either the bytes up to the
// next quote equal pin, unescaped, or the JSON string there, escapes decoded,
// equals pin. A number, blanks inside the quotes or an unterminated string fail.
// Always false for an empty pin.
bool helloCarries(std::string_view line, std::string_view pin);

// A mode line contains "t":"mode"; its digit is the one byte after the last
// "mode": key (blanks and tabs skipped), 0, 1 or 2. Only that byte is read, so a
// value of 12 selects mode 1. Nullopt for any other line or byte.
std::optional<int> modeOf(std::string_view line);

// What a sender reads: the echo of its own ping (with its id), or a reply.
enum class Reply { HelloOk, HelloErr, Other };
Reply reply(std::string_view line);
std::optional<uint64_t> echoedPingId(std::string_view line);

}  // namespace ControlLine
