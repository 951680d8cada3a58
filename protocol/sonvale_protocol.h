// Facts every part of the system agrees on: where the engine listens and how
// the microphone is named to the sound server.
#pragma once

#include <chrono>
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

// A sender's first sequence number: the engine never goes back in numbers, so
// a sender that started again at 0 would be dropped until it passed its
// previous run. Counting from the wall clock in 20 ms packet steps keeps every
// run above the one before.
inline uint32_t clockSequence() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count() / 20);
}

}  // namespace sonvale
