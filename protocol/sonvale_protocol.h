// Facts every part of the system agrees on: where the engine listens and how
// the microphone is named to the sound server.
#pragma once

#include <cstdint>

namespace sonvale {

// UDP audio datagrams to the engine; the pairing URL carries this port.
inline constexpr uint16_t kAudioPort = 47810;
// The engine's TCP control connection (hello, ping, mode).
inline constexpr uint16_t kControlPort = 47811;
// The browser gateway: HTTPS page and WSS on one port.
inline constexpr uint16_t kWebPort = 47812;

// The microphone as the sound server lists it: description and source name.
inline constexpr char kDeviceName[] = "Tarnwell";
inline constexpr char kDeviceUID[] = "SonvaleDevice_UID";

}  // namespace sonvale
