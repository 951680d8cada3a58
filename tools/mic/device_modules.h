#pragma once

#include <string>
#include <string_view>

// The sound-server module that makes the microphone: a pipe source, which
// recording programs see as the one input "Tarnwell" and which adds no output
// (on PulseAudio and on PipeWire's pulse server alike). The bridge writes the
// audio into its FIFO. Pure text: names, module arguments and the test that
// recognises modules left behind by a run that crashed.
namespace DeviceModules {

inline constexpr std::string_view kSourceModule = "module-pipe-source";
// The sink that earlier versions played into: their leftovers are removed too.
inline constexpr std::string_view kLegacySinkName = "sonvale_mic_feed";

// The pipe source on the FIFO at fifoPath (the server makes the FIFO).
std::string sourceArguments(const std::string& fifoPath);

// True for the arguments of a module that makes our source (source_name=) or an
// earlier version's sink (sink_name=), whichever module it is: such a module is
// a leftover of a run that crashed, or would take the device's name.
bool isOurs(std::string_view arguments);

// The value of key=value in a module argument string ("" when absent). Values may
// be quoted with ' or ".
std::string argumentValue(std::string_view arguments, std::string_view key);

}  // namespace DeviceModules
