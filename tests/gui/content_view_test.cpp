// The main window's content against real services: the engine controller with
// stand-in engines, the network of the test's own namespace, the device note
// against a private PulseAudio server and the real microphone bridge, the real
// clipboard, and the codes read back as a phone's scanner reads them.
#include <signal.h>
#include <unistd.h>

#include <QClipboard>
#include <QLabel>
#include <QSignalSpy>

#include "audio_device.h"
#include "capsule_button.h"
#include "child_process.h"
#include "content_view.h"
#include "main_window.h"
#include "pairing_url.h"
#include "paths.h"
#include "qr_scan.h"
#include "ring_writer.h"
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
    // The texts of the codes in the window; the picture is kept for people to look at.
    std::vector<std::string> codes(const std::string& name) {
        settle();
        const std::string dir = testsupport::buildDir() + "/test-artefacts/ui";
        shell("mkdir -p " + shellQuote(dir));
        const std::string png = dir + "/" + name + ".png";
        if (!window->grab().save(QString::fromStdString(png))) return {};
        return testsupport::scanCodes(png);
    }
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

// Without an address no code is offered; one that comes while the window is
// open brings the code. The browser choice shows the link's code and copies it,
// and is what the card shows when it opens again.
// The speaker test's note takes room that is already there: nothing moves.
TEST_F(ContentViewTest, TheCardFollowsTheNetworkAndOffersTheBrowserLinkAndNothingMoves) {
    testsupport::RingWriter ring;
    standIn.write(StandInEngine::kRunUntilTerm);
    openWindow();
    ASSERT_TRUE(waitUntil([&] { return content().monitor().isRunning(); }));
    const QSize hint = content().sizeHint();
    QTest::mouseClick(button("testButton"), Qt::LeftButton);
    settle();
    EXPECT_TRUE(child<QLabel>(content(), "echoWarning")->isVisible());
    EXPECT_EQ(content().sizeHint(), hint);
    EXPECT_TRUE(codes("no-network").empty());
    EXPECT_FALSE(button("copyButton")->isEnabled());
    ASSERT_TRUE(
        shell("ip link add eth0 type veth peer name eth0-peer && ip addr add 10.77.2.1/24 dev eth0 && "
              "ip link set eth0-peer up && ip link set eth0 up"));
    ASSERT_TRUE(waitUntil([&] { return content().host() == QStringLiteral("10.77.2.1"); }));
    const std::vector<std::string> phoneApp = codes("phone-app");  // its fields are the journey's
    ASSERT_EQ(phoneApp.size(), 1u);
    EXPECT_TRUE(parsePairingURL(phoneApp[0]));

    QTest::mouseClick(button("browserChoice"), Qt::LeftButton);
    const std::vector<std::string> browser = codes("browser");
    ASSERT_EQ(browser.size(), 1u);
    EXPECT_EQ(browser[0], "https://10.77.2.1:" + std::to_string(sonvale::kWebPort) +
                              "/#pin=" + engine->pin().toStdString());
    EXPECT_EQ(child<QLabel>(content(), "hostText")->text().toStdString(), browser[0]);
    window->close();  // the choice outlives the window, as it does the application
    window->open();
    EXPECT_EQ(content().choice(), ContentView::Choice::Browser);

    CapsuleButton* copy = button("copyButton");
    const QString idle = copy->text();
    QTest::mouseClick(copy, Qt::LeftButton);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), browser[0]);
    EXPECT_EQ(copy->text(), QStringLiteral("Copied"));
    EXPECT_TRUE(waitUntil([&] { return copy->text() == idle; }));

    // The remembered phones, under the card only while there are some.
    EXPECT_TRUE(child<QWidget>(content(), "pairedPhones")->isHidden());
    window->showPairedPhones({{QStringLiteral("0123456789abcdef"), QStringLiteral("iPhone · Safari"),
                               QDateTime::currentDateTimeUtc()}});
    EXPECT_FALSE(child<QWidget>(content(), "pairedPhones")->isHidden());
    EXPECT_EQ(child<QLabel>(content(), "phoneName")->text(), QStringLiteral("iPhone · Safari"));
    EXPECT_TRUE(child<QLabel>(content(), "phoneLastSeen")->text().startsWith(QStringLiteral("today ")));
}

class ContentViewOnSoundServer : public ContentViewTest {};

// The microphone bridge started and stopped under an open window.
TEST_F(ContentViewOnSoundServer, TheDeviceNoteFollowsTheMicrophone) {
    const std::string bridge = helperPath("sonvale-mic");
    if (::access(bridge.c_str(), X_OK) != 0) GTEST_SKIP() << "built without the tools";
    testsupport::SoundServer pulse;
    ASSERT_TRUE(pulse.start());
    standIn.write(StandInEngine::kRunUntilTerm);
    openWindow();
    EXPECT_FALSE(content().devicePresent());
    const QString absent = child<QLabel>(content(), "deviceText")->text();
    auto mic = std::make_unique<testsupport::ChildProcess>(bridge, std::vector<std::string>{});
    EXPECT_TRUE(waitUntil([&] { return content().devicePresent(); }));
    EXPECT_EQ(child<QLabel>(content(), "deviceText")->text(),
              QStringLiteral("\"Tarnwell\" microphone is available"));
    mic->signal(SIGTERM);
    EXPECT_EQ(mic->waitForExit(20s), 0) << mic->err();
    EXPECT_TRUE(waitUntil([&] { return child<QLabel>(content(), "deviceText")->text() == absent; }));
}

}  // namespace
