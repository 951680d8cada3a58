// The device lookup against a real PulseAudio server in the sandbox.
#include <gtest/gtest.h>

#include <QAudioDevice>
#include <QMediaDevices>

#include "audio_device.h"
#include "services_fixture.h"

namespace {

using namespace servicestest;

class AudioDeviceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pulse.started()); }

    // Adds an input device; returns the module index for unload().
    std::string addSource(const std::string& id, const std::string& description) {
        const CommandResult r = pulse.command("pactl load-module module-null-source source_name=" + id +
                                              " description=" + description);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out.substr(0, r.out.find('\n'));
    }
    void unload(const std::string& module) {
        EXPECT_EQ(pulse.command("pactl unload-module " + module).status, 0);
    }

    // Qt learns about device changes asynchronously.
    static bool qtSees(const QByteArray& id, bool present = true) {
        return waitUntil([&] {
            for (const QAudioDevice& d : QMediaDevices::audioInputs())
                if (d.id() == id) return present;
            return !present;
        });
    }

    PulseServer pulse;
};

TEST_F(AudioDeviceTest, FindsTheMicrophoneByNameInAnyCaseAndByExactId) {
    const std::string other = addSource("alsa_input.builtin", "Built-in");
    ASSERT_TRUE(qtSees("alsa_input.builtin"));
    EXPECT_EQ(AudioDevice::tarnwellDeviceID(), std::nullopt);

    const std::string byName = addSource("bridge_source", "Tarnwell");
    ASSERT_TRUE(qtSees("bridge_source"));
    EXPECT_EQ(AudioDevice::tarnwellDeviceID(), QByteArray("bridge_source"));
    unload(byName);
    ASSERT_TRUE(qtSees("bridge_source", false));
    EXPECT_EQ(AudioDevice::tarnwellDeviceID(), std::nullopt);

    const std::string lower = addSource("bridge_lower", "tarnwell");
    ASSERT_TRUE(qtSees("bridge_lower"));
    EXPECT_EQ(AudioDevice::tarnwellDeviceID(), QByteArray("bridge_lower"));
    unload(lower);

    const std::string byId = addSource("SonvaleDevice_UID", "Virtual");
    ASSERT_TRUE(qtSees("SonvaleDevice_UID"));
    EXPECT_EQ(AudioDevice::tarnwellDeviceID(), QByteArray("SonvaleDevice_UID"));
    unload(byId);
    ASSERT_TRUE(qtSees("SonvaleDevice_UID", false));
    EXPECT_EQ(AudioDevice::tarnwellDeviceID(), std::nullopt);

    addSource("sonvaledevice_uid", "Virtual");  // differs only in letter case
    ASSERT_TRUE(qtSees("sonvaledevice_uid"));
    EXPECT_EQ(AudioDevice::tarnwellDeviceID(), std::nullopt);
    unload(other);
}

}  // namespace
