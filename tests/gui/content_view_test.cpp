// The main window's content against real services: the engine controller with
// stand-in engines, the audio monitor on a ring written by the test, the device
// lookup against a real PulseAudio server, the real clipboard.
#include <QClipboard>
#include <QLabel>
#include <QPointer>
#include <QSignalSpy>

#include "audio_device.h"
#include "capsule_button.h"
#include "content_view.h"
#include "level_bar.h"
#include "main_window.h"
#include "qr_card.h"
#include "status_dot.h"
#include "symbol_label.h"
#include "theme.h"
#include "ui_fixture.h"

namespace {

using namespace uitest;
using Kind = EngineState::Kind;

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
    template <class T>
    T* find(const char* name) {
        return child<T>(content(), name);
    }

    struct Expected {
        QString status;
        QColor dot;
        QString button;
        QColor buttonText;
        QColor buttonBackground;
        bool enabled;
    };
    void expectEngineRow(const Expected& e) {
        EXPECT_EQ(find<QLabel>("statusText")->text(), e.status);
        auto* dot = find<StatusDot>("statusDot");
        EXPECT_EQ(dot->color(), e.dot) << describe(dot->color());
        auto* button = find<CapsuleButton>("engineButton");
        EXPECT_EQ(button->text(), e.button);
        EXPECT_EQ(button->textColor(), e.buttonText);
        EXPECT_EQ(button->backgroundColor(), e.buttonBackground);
        EXPECT_EQ(button->isEnabled(), e.enabled);
        EXPECT_EQ(button->width(), 96);

        // What the window draws: the dot's centre and the button's capsule above its label.
        const QColor dotCentre = drawnAt(*dot, {5, 5});
        EXPECT_TRUE(near(dotCentre, over(e.dot, Theme::surface()))) << describe(dotCentre);
        if (e.enabled) {
            const QColor capsule = drawnAt(*button, {button->width() / 2, 2});
            EXPECT_TRUE(near(capsule, over(e.buttonBackground, Theme::surface()))) << describe(capsule);
        }
    }

    StandInEngine standIn;
    LogCapture log;
    std::unique_ptr<EngineController> engine;
    std::unique_ptr<MainWindow> window;
};

TEST_F(ContentViewTest, RunningAndStoppedRowsAndTheEngineButtonStopsAndStarts) {
    standIn.write(kRunUntilTerm);
    openWindow();
    ASSERT_EQ(engine->state(), EngineState::running());  // coming on screen started the engine
    ASSERT_TRUE(waitUntil([&] { return standIn.launches() == 1; }));
    expectEngineRow({QStringLiteral("Engine running"), Theme::accent(), QStringLiteral("Stop engine"),
                     Theme::danger(), Theme::withOpacity(Theme::danger(), 0.16), true});

    QTest::mouseClick(find<CapsuleButton>("engineButton"), Qt::LeftButton);
    EXPECT_EQ(engine->state(), EngineState::stopped());
    ASSERT_TRUE(waitUntil([&] { return standIn.terms() == 1; }));
    expectEngineRow({QStringLiteral("Engine stopped"), Theme::textSecondary(), QStringLiteral("Start engine"),
                     Theme::background(), Theme::accent(), true});
    spin(200ms);
    EXPECT_EQ(standIn.launches(), 1u);  // a stop is not followed by a relaunch

    QTest::mouseClick(find<CapsuleButton>("engineButton"), Qt::LeftButton);
    EXPECT_EQ(engine->state(), EngineState::running());
    EXPECT_TRUE(waitUntil([&] { return standIn.launches() == 2; }));
    EXPECT_EQ(find<QLabel>("statusText")->text(), QStringLiteral("Engine running"));
}

TEST_F(ContentViewTest, AFailedEngineShowsItsExitAndCanBeStartedAgain) {
    standIn.write(kFailAtStart);
    openWindow(60s);  // no relaunch during the test
    ASSERT_TRUE(waitUntil([&] { return engine->state().kind() == Kind::Failed; }));
    expectEngineRow({QStringLiteral("Engine failed: Engine exited (code 1)"), Theme::danger(),
                     QStringLiteral("Start engine"), Theme::background(), Theme::accent(), true});

    standIn.write(kRunUntilTerm);
    QTest::mouseClick(find<CapsuleButton>("engineButton"), Qt::LeftButton);
    EXPECT_EQ(engine->state(), EngineState::running());
}

TEST_F(ContentViewTest, AMissingEngineDisablesTheStartButton) {
    openWindow();
    ASSERT_EQ(engine->state(), EngineState::missing());
    expectEngineRow({QStringLiteral("Engine binary missing"), Theme::danger(), QStringLiteral("Start engine"),
                     Theme::background(), Theme::accent(), false});
    QSignalSpy spy(engine.get(), &EngineController::stateChanged);
    QTest::mouseClick(find<CapsuleButton>("engineButton"), Qt::LeftButton);
    EXPECT_EQ(spy.count(), 0);
}

TEST_F(ContentViewTest, TheDeviceNoteFollowsTheMicrophoneWhenTheWindowOpens) {
    PulseServer pulse;
    ASSERT_TRUE(pulse.started());
    openWindow();
    EXPECT_FALSE(content().devicePresent());
    EXPECT_EQ(find<QLabel>("deviceText")->text(), QStringLiteral("\"Tarnwell\" microphone not found"));
    EXPECT_EQ(find<SymbolLabel>("deviceIcon")->symbol(), Symbol::WarningFill);
    EXPECT_EQ(find<SymbolLabel>("deviceIcon")->color(), Theme::danger());
    EXPECT_EQ(find<QLabel>("deviceText")->palette().color(QPalette::WindowText), Theme::textSecondary());

    ASSERT_EQ(
        pulse
            .command(
                "pactl load-module module-null-source source_name=SonvaleDevice_UID description=Tarnwell")
            .status,
        0);
    ASSERT_TRUE(waitUntil([] { return AudioDevice::tarnwellDeviceID().has_value(); }));
    spin(100ms);
    // Read only when the window opens: nothing polls while it stays open.
    EXPECT_EQ(find<QLabel>("deviceText")->text(), QStringLiteral("\"Tarnwell\" microphone not found"));

    window->close();
    window->open();
    settle();
    EXPECT_TRUE(content().devicePresent());
    EXPECT_EQ(find<QLabel>("deviceText")->text(), QStringLiteral("\"Tarnwell\" microphone is available"));
    EXPECT_EQ(find<SymbolLabel>("deviceIcon")->symbol(), Symbol::SealCheckFill);
    EXPECT_EQ(find<SymbolLabel>("deviceIcon")->color(), Theme::accent());
}

TEST(LevelBarTest, FillIsTheLevelTimesTheWidthAfterA50msLinearAnimation) {
    EXPECT_EQ(LevelBar::fillWidth(364, 0.5), 182);
    EXPECT_EQ(LevelBar::fillWidth(364, 0), 0);
    EXPECT_EQ(LevelBar::fillWidth(364, -0.2), 0);

    LevelBar bar;
    bar.resize(364, LevelBar::kHeight);
    bar.setLevel(0.5);
    QTest::qWait(10);
    EXPECT_LT(bar.shownFillWidth(), 182);  // still on its way
    ASSERT_TRUE(waitUntil([&] { return bar.shownFillWidth() == 182; }, 1s));
    QImage image = render(bar);
    // Along the middle row: accent up to 182, then the track.
    int filled = 0;
    for (int x = 0; x < image.width(); ++x)
        if (near(image.pixelColor(x, 6), Theme::accent(), 60)) ++filled;
    EXPECT_NEAR(filled, 182, 1);
    EXPECT_TRUE(near(image.pixelColor(170, 6), Theme::accent())) << describe(image.pixelColor(170, 6));
    EXPECT_TRUE(near(image.pixelColor(194, 6), Theme::surface())) << describe(image.pixelColor(194, 6));

    bar.setLevel(0);
    ASSERT_TRUE(waitUntil([&] { return bar.shownFillWidth() == 0; }, 1s));
    image = render(bar);
    for (int x : {1, 6, 100, 300})
        EXPECT_TRUE(near(image.pixelColor(x, 6), Theme::surface()))
            << x << " " << describe(image.pixelColor(x, 6));
}

TEST_F(ContentViewTest, TheMeterFollowsTheRingAndTheCodeIsRenderedOnce) {
    standIn.write(kRunUntilTerm);
    openWindow();
    auto* test = find<CapsuleButton>("testButton");
    auto* bar = find<LevelBar>("levelBar");
    EXPECT_FALSE(content().monitor().isRunning());
    EXPECT_FALSE(test->isEnabled());  // no ring yet
    EXPECT_EQ(bar->shownFillWidth(), 0);
    EXPECT_EQ(bar->width(), 364);  // 420 wide, 28 padding on either side

    RingWriter ring;
    ASSERT_TRUE(ring.isOpen());
    ASSERT_TRUE(
        waitUntil([&] { return content().monitor().isRunning(); }, 5s));  // the monitor retries each second
    EXPECT_TRUE(test->isEnabled());

    // A constant 10^(-30/20) on both channels: -30 dBFS, half-way up the meter.
    ring.write(0.0316227766f, 4800);
    ASSERT_TRUE(waitUntil([&] { return std::abs(bar->shownFillWidth() - 182) < 0.5; }, 5s))
        << bar->shownFillWidth();
    EXPECT_EQ(child<QrCard>(content(), "qrCard")->codeRenders(), 1);  // not once per meter tick

    ring.write(0, 4800);
    EXPECT_TRUE(waitUntil([&] { return bar->shownFillWidth() < 1; }, 5s)) << bar->shownFillWidth();
}

// Every engine start makes a fresh ring; the meter follows it (a stale ring from
// an earlier run, or from the engine before a relaunch, would leave it dead).
TEST_F(ContentViewTest, TheMeterFollowsTheRingOfAnEngineThatStartedAnew) {
    standIn.write(kRunUntilTerm);
    RingWriter stale;  // left behind by an earlier engine
    ASSERT_TRUE(stale.isOpen());
    openWindow();
    ASSERT_TRUE(waitUntil([&] { return content().monitor().isRunning(); }, 5s));
    auto* bar = find<LevelBar>("levelBar");

    RingWriter fresh;  // the new engine replaces the object
    ASSERT_TRUE(fresh.isOpen());
    fresh.write(0.0316227766f, 4800);
    EXPECT_TRUE(waitUntil([&] { return std::abs(bar->shownFillWidth() - 182) < 0.5; }, 5s))
        << bar->shownFillWidth();
    EXPECT_TRUE(find<CapsuleButton>("testButton")->isEnabled());
}

TEST_F(ContentViewTest, TheEchoWarningShowsExactlyWhileTesting) {
    PulseServer pulse;  // the test plays to its null sink
    ASSERT_TRUE(pulse.started());
    RingWriter ring;
    standIn.write(kRunUntilTerm);
    openWindow();
    ASSERT_TRUE(waitUntil([&] { return content().monitor().isRunning(); }, 5s));
    auto* test = find<CapsuleButton>("testButton");
    auto* warning = find<QLabel>("echoWarning");
    EXPECT_EQ(test->text(), QStringLiteral("Test"));
    EXPECT_EQ(test->symbol(), Symbol::SpeakerWave2);
    EXPECT_EQ(test->textColor(), Theme::accent());
    EXPECT_EQ(test->backgroundColor(), Theme::withOpacity(Theme::accent(), 0.14));
    EXPECT_TRUE(warning->isHidden());

    QTest::mouseClick(test, Qt::LeftButton);
    EXPECT_TRUE(content().monitor().isTesting());
    EXPECT_EQ(test->text(), QStringLiteral("Testing"));
    EXPECT_EQ(test->symbol(), Symbol::SpeakerWave2Fill);
    EXPECT_EQ(test->textColor(), Theme::background());
    EXPECT_EQ(test->backgroundColor(), Theme::accent());
    EXPECT_FALSE(warning->isHidden());
    EXPECT_EQ(warning->text(), QStringLiteral("May cause echo through speakers"));

    QTest::mouseClick(test, Qt::LeftButton);
    EXPECT_FALSE(content().monitor().isTesting());
    EXPECT_EQ(test->text(), QStringLiteral("Test"));
    EXPECT_TRUE(warning->isHidden());
}

TEST_F(ContentViewTest, CopyPutsTheUrlOnTheClipboardAndSaysCopiedUntil1_6sAfterTheFirstCopy) {
    standIn.write(kRunUntilTerm);
    openWindow();
    auto* copy = find<CapsuleButton>("copyButton");
    EXPECT_EQ(copy->text(), QStringLiteral("Copy URL"));
    EXPECT_EQ(copy->symbol(), Symbol::DocOnDoc);
    EXPECT_EQ(copy->textColor(), Theme::background());
    EXPECT_EQ(copy->backgroundColor(), Theme::accent());

    const QString url = content().pairingURL();
    EXPECT_TRUE(url.startsWith(QStringLiteral("sonvale://connect?host=") + content().host() +
                               QStringLiteral("&port=47810&name=")));
    EXPECT_TRUE(url.endsWith(QStringLiteral("&pin=") + engine->pin()));
    EXPECT_EQ(child<QrCard>(content(), "qrCard")->url(), url);
    EXPECT_EQ(child<QLabel>(content(), "pinText")->text(), engine->pin());
    EXPECT_EQ(child<QLabel>(content(), "hostText")->text(), content().host());

    QGuiApplication::clipboard()->setText(QStringLiteral("something else"));
    const auto first = std::chrono::steady_clock::now();
    QTest::mouseClick(copy, Qt::LeftButton);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), url);
    EXPECT_EQ(copy->text(), QStringLiteral("Copied"));
    EXPECT_EQ(copy->symbol(), Symbol::CheckCircleFill);

    spin(500ms);
    QTest::mouseClick(copy, Qt::LeftButton);  // a second copy does not extend the time
    EXPECT_EQ(copy->text(), QStringLiteral("Copied"));
    ASSERT_TRUE(waitUntil([&] { return copy->text() == QStringLiteral("Copy URL"); }, 5s));
    const auto shown = std::chrono::steady_clock::now() - first;
    EXPECT_GE(shown, 1600ms);
    EXPECT_LT(shown, 2100ms);  // the second copy's 1.6 s would end here
    EXPECT_EQ(copy->symbol(), Symbol::DocOnDoc);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), url);
}

}  // namespace

namespace {

TEST(ThemeTest, TheSevenColoursAreExactlyThePalette) {
    const struct {
        const QColor& color;
        const char* hex;
        int alpha;
    } palette[] = {
        {Theme::background(), "#0b0f14", 255},  {Theme::surface(), "#141b22", 255},
        {Theme::accent(), "#5eead4", 255},      {Theme::danger(), "#f87171", 255},
        {Theme::textPrimary(), "#ffffff", 255}, {Theme::textSecondary(), "#ffffff", 158},  // 0.62
        {Theme::cardWhite(), "#ffffff", 255},
    };
    for (const auto& entry : palette) {
        EXPECT_EQ(entry.color.name().toStdString(), entry.hex);
        EXPECT_EQ(entry.color.alpha(), entry.alpha) << entry.hex;
        EXPECT_EQ(entry.color.spec(), QColor::Rgb);
    }
    EXPECT_EQ(&Theme::accent(), &Theme::accent());  // made once, shared
    EXPECT_NEAR(Theme::textSecondary().alphaF(), 0.62, 0.002);
}

}  // namespace
