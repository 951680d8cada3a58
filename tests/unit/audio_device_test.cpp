#include <gtest/gtest.h>

#include "audio_device.h"

namespace {

AudioDevice::Identity device(const char* id, const char* description) {
    return {QByteArray(id), QString::fromUtf8(description)};
}

TEST(AudioDevice, FindsTheFirstDeviceNamedTarnwellInAnyCaseOrWithTheExactId) {
    const std::pair<QList<AudioDevice::Identity>, std::optional<qsizetype>> cases[] = {
        {{}, std::nullopt},
        {{device("alsa_input.pci", "Built-in"), device("mic", "Tarnwell")}, 1},
        {{device("mic", "tARNWELL")}, 0},
        {{device("SonvaleDevice_UID", "Virtual microphone")}, 0},
        {{device("sonvaledevice_uid", "Virtual microphone")}, std::nullopt},
        {{device("SonvaleDevice_UID.2", "Tarnwell Mic")}, std::nullopt},
        {{device("a", "Speakers"), device("SonvaleDevice_UID", "x"), device("b", "Tarnwell")}, 1},
    };
    for (const auto& [devices, found] : cases)
        EXPECT_EQ(AudioDevice::findTarnwell(devices), found);
}

}  // namespace
