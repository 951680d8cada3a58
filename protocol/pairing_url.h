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

// The pairing URL that the phone scans:
//   sonvale://connect?host=<host>&port=<port>&name=<name>&pin=<pin>
// host and pin go in unchanged, port in plain decimal, name percent-encoded.
std::string makePairingURL(std::string_view host, uint16_t port, std::string_view name, std::string_view pin);

// The browser sender's link: https://<host>:<kWebPort>/#pin=<pin>. The PIN rides
// in the fragment, which a browser never sends in a request.
std::string makeBrowserURL(std::string_view host, std::string_view pin);

// Every byte except A-Z, a-z, 0-9 and "-._~" becomes "%" and two uppercase hex
// digits: " " -> "%20", "&" -> "%26", U+2019 -> "%E2%80%99".
std::string percentEncode(std::string_view text);

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
