#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Where a pairing URL points: the engine's host, its audio port, the computer's
// name (for display) and the PIN for the hello.
struct PairingTarget {
    std::string host;
    uint16_t port = 0;
    std::string name;
    std::string pin;
};

// Parses "sonvale://connect?host=H&port=P&name=N&pin=X" as a QR code carries it.
// - The scheme and "connect" are matched without regard to case; the query keys
//   exactly. Keys may come in any order; unknown keys are ignored.
// - Every value is percent-decoded ("%20" is a blank; "+" stays a plus sign).
// - host, port and pin are required; name may be missing or empty.
// - Refused (nullopt): a malformed escape, a key given twice, an empty host or
//   pin, a port that is not a decimal number in 1..65535, a host or pin holding
//   blanks, quotes or control bytes, a name holding control bytes or bytes that
//   are not UTF-8, and anything after a '#'.
// Pure: no allocation beyond the result, no I/O; safe on any input bytes.
std::optional<PairingTarget> parsePairingURL(std::string_view url);

// Decodes %XX escapes (either case of hex digit). nullopt for a '%' that is not
// followed by two hex digits.
std::optional<std::string> percentDecode(std::string_view text);
