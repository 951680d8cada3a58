#include <gtest/gtest.h>

#include "audio_device.h"

namespace {

using AudioDevice::Identity;

std::optional<qsizetype> find(const QList<Identity>& devices) {
    return AudioDevice::findTarnwell(devices);
}

Identity device(const char* id, const char* description) {
    return {QByteArray(id), QString::fromUtf8(description)};
}

TEST(AudioDevice, FindsTheMicrophoneByNameInAnyCaseOrByExactId) {
    EXPECT_EQ(find({}), std::nullopt);
    EXPECT_EQ(find({device("alsa_input.pci", "Built-in Audio")}), std::nullopt);
    EXPECT_EQ(find({device("alsa_input.pci", "Built-in"), device("mic", "Tarnwell")}), 1);
    EXPECT_EQ(find({device("mic", "tarnwell")}), 0);
    EXPECT_EQ(find({device("mic", "TARNWELL")}), 0);
    EXPECT_EQ(find({device("SonvaleDevice_UID", "Virtual microphone")}), 0);
    EXPECT_EQ(find({device("sonvaledevice_uid", "Virtual microphone")}), std::nullopt);
    EXPECT_EQ(find({device("SonvaleDevice_UID.2", "Other")}), std::nullopt);
    EXPECT_EQ(find({device("mic", "Tarnwell Mic")}), std::nullopt);  // the whole name
    EXPECT_EQ(find({device("mic", "")}), std::nullopt);
}

TEST(AudioDevice, TheFirstMatchingDeviceWins) {
    EXPECT_EQ(find({device("a", "Speakers"), device("SonvaleDevice_UID", "x"), device("b", "Tarnwell")}), 1);
    EXPECT_EQ(find({device("b", "tarnWELL"), device("SonvaleDevice_UID", "Tarnwell")}), 0);
}

}  // namespace
