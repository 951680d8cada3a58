// What the application sees: its device lookup finds the running microphone,
// and no longer once sonvale-mic has stopped.
#include <QCoreApplication>

#include "audio_device.h"
#include "mic_fixture.h"

namespace micharness {
namespace {

// Qt learns of the sound server's devices on its own connection, asynchronously.
template <typename Predicate>
bool waitWithEvents(Predicate done, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

TEST_F(MicTest, TheApplicationFindsTheMicrophoneOnlyWhileItRuns) {
    startServer();
    EXPECT_EQ(AudioDevice::tarnwellDeviceID(), std::nullopt);

    startMic();
    EXPECT_TRUE(waitWithEvents([] { return AudioDevice::tarnwellDeviceID().has_value(); }));
    EXPECT_EQ(AudioDevice::tarnwellDeviceID(), QByteArray("SonvaleDevice_UID"));

    EXPECT_EQ(stopMic(), 0);
    EXPECT_TRUE(waitWithEvents([] { return !AudioDevice::tarnwellDeviceID().has_value(); }));
}

}  // namespace
}  // namespace micharness

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
