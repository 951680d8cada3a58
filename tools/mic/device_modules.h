#pragma once

#include <string>
#include <string_view>

// The sound-server modules that make up the microphone: a null sink that the
// bridge plays into and a source remapped from that sink's monitor, which is what
// recording programs see. Pure text: names, module arguments and the test that
// recognises modules left behind by a run that crashed.
namespace DeviceModules {

inline constexpr std::string_view kSinkName = "sonvale_mic_feed";
inline constexpr std::string_view kSinkDescription = "Tarnwell microphone feed";
inline constexpr std::string_view kSinkModule = "module-null-sink";
inline constexpr std::string_view kSourceModule = "module-remap-source";

std::string sinkArguments();
std::string sourceArguments();

// True for the arguments of a module that makes our sink or our source (by its
// sink_name= or source_name=), whichever module it is: such a module is a
// leftover of a run that crashed, or would take the device's names.
bool isOurs(std::string_view arguments);

// The value of key=value in a module argument string ("" when absent). Values may
// be quoted with ' or ".
std::string argumentValue(std::string_view arguments, std::string_view key);

}  // namespace DeviceModules
