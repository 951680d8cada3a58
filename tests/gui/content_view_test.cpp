// The main window's content against real services: the engine controller with
// stand-in engines, the device lookup against a private PulseAudio server, the
// real clipboard.
#include <QClipboard>
#include <QLabel>
#include <QSignalSpy>

#include "audio_device.h"
#include "capsule_button.h"
#include "content_view.h"
#include "main_window.h"
#include "pairing_url.h"
#include "sonvale_protocol.h"
#include "ui_fixture.h"

namespace {

using namespace uitest;

class ContentViewTest : public ::testing::Test {
protected:
    void openWindow(std::chrono::milliseconds backoff = 50ms) {
        engine = std::make_unique<EngineController>(standIn.options(backoff));
        window = std::make_unique<MainWindow>(*engine);
        window->open();
        settle();
        ASSERT_NE(window->content(), nullptr);
    }
    ContentView& content() { return *window->content(); }
    QString status() { return child<QLabel>(content(), "statusText")->text(); }
    CapsuleButton* button(const char* name) { return child<CapsuleButton>(content(), name); }

    StandInEngine standIn;
    LogCapture log;
    std::unique_ptr<EngineController> engine;
    std::unique_ptr<MainWindow> window;
};

TEST_F(ContentViewTest, TheEngineRowFollowsTheEngineAndItsButtonStopsAndStarts) {
    openWindow(60s);  // no relaunch during the test
    EXPECT_EQ(status(), QStringLiteral("Engine binary missing"));
    EXPECT_FALSE(button("engineButton")->isEnabled());

    standIn.write("exit 1\n");
    engine->start();
    ASSERT_TRUE(waitUntil([&] { return engine->state().kind() == EngineState::Kind::Failed; }));
    EXPECT_EQ(status(), QStringLiteral("Engine failed: Engine exited (code 1)"));

    standIn.write(StandInEngine::kRunUntilTerm);
    QTest::mouseClick(button("engineButton"), Qt::LeftButton);
    EXPECT_EQ(status(), QStringLiteral("Engine running"));
    EXPECT_EQ(button("engineButton")->text(), QStringLiteral("Stop engine"));
    ASSERT_TRUE(waitUntil([&] { return standIn.launches() == 2; }));  // ready for SIGTERM
    QTest::mouseClick(button("engineButton"), Qt::LeftButton);
    EXPECT_EQ(status(), QStringLiteral("Engine stopped"));
    EXPECT_EQ(button("engineButton")->text(), QStringLiteral("Start engine"));
    EXPECT_TRUE(waitUntil([&] { return standIn.terms() == 1; }));
}

TEST_F(ContentViewTest, CopyPutsThePairingUrlOnTheClipboardAndSaysCopiedFor1_6s) {
    standIn.write(StandInEngine::kRunUntilTerm);
    openWindow();
    const PairingTarget shown = *parsePairingURL(content().pairingURL().toStdString());
    EXPECT_EQ(shown.host, content().host().toStdString());
    EXPECT_EQ(shown.port, sonvale::kAudioPort);
    EXPECT_EQ(shown.pin, engine->pin().toStdString());

    CapsuleButton* copy = button("copyButton");
    const QString idle = copy->text();
    const auto clicked = std::chrono::steady_clock::now();
    QTest::mouseClick(copy, Qt::LeftButton);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), content().pairingURL());
    EXPECT_EQ(copy->text(), QStringLiteral("Copied"));
    ASSERT_TRUE(waitUntil([&] { return copy->text() == idle; }));
    EXPECT_GE(std::chrono::steady_clock::now() - clicked, 1600ms);
}

class ContentViewOnSoundServer : public ContentViewTest {};

TEST_F(ContentViewOnSoundServer, TheDeviceNoteIsReadWhenTheWindowOpens) {
    testsupport::SoundServer pulse;
    ASSERT_TRUE(pulse.start());
    standIn.write(StandInEngine::kRunUntilTerm);
    openWindow();
    EXPECT_FALSE(content().devicePresent());
    pulse.pactl("load-module module-null-source source_name=SonvaleDevice_UID description=Tarnwell");
    ASSERT_TRUE(waitUntil([] { return AudioDevice::tarnwellDeviceID().has_value(); }));  // Qt learns late
    window->close();
    window->open();
    settle();
    EXPECT_TRUE(content().devicePresent());
    EXPECT_EQ(child<QLabel>(content(), "deviceText")->text(),
              QStringLiteral("\"Tarnwell\" microphone is available"));
}

}  // namespace
