#include "device_modules.h"

#include <cctype>

#include "sonvale_protocol.h"

namespace DeviceModules {

namespace {
constexpr std::string_view kFormat =
    "format=float32le rate=48000 channels=2 channel_map=front-left,front-right";
}

std::string sourceArguments(const std::string& fifoPath) {
    return "source_name=" + std::string(sonvale::kDeviceUID) + " file='" + fifoPath + "' " +
           std::string(kFormat) + " source_properties=\"device.description='" +
           std::string(sonvale::kDeviceName) + "' device.icon_name=audio-input-microphone\"";
}

std::string argumentValue(std::string_view arguments, std::string_view key) {
    size_t i = 0;
    const size_t n = arguments.size();
    while (i < n) {
        while (i < n && std::isspace(static_cast<unsigned char>(arguments[i])))
            ++i;
        const size_t keyStart = i;
        while (i < n && arguments[i] != '=' && !std::isspace(static_cast<unsigned char>(arguments[i])))
            ++i;
        const std::string_view k = arguments.substr(keyStart, i - keyStart);
        std::string value;
        if (i < n && arguments[i] == '=') {
            ++i;
            if (i < n && (arguments[i] == '"' || arguments[i] == '\'')) {
                const char quote = arguments[i++];
                while (i < n && arguments[i] != quote)
                    value += arguments[i++];
                if (i < n) ++i;
            } else {
                while (i < n && !std::isspace(static_cast<unsigned char>(arguments[i])))
                    value += arguments[i++];
            }
        }
        if (!k.empty() && k == key) return value;
        if (k.empty() && i < n) ++i;  // stray character: step over it
    }
    return "";
}

bool isOurs(std::string_view arguments) {
    return argumentValue(arguments, "sink_name") == kLegacySinkName ||
           argumentValue(arguments, "source_name") == sonvale::kDeviceUID;
}

}  // namespace DeviceModules
