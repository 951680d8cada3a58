// The application's frame: the tray menu and the one main window, with the
// delegate's real services (stand-in engines); then the real helpers beside the
// real engine on a real PulseAudio.
#include <signal.h>

#include <cstdio>
#include <fstream>

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QTemporaryDir>

#include "app_delegate.h"
#include "audio_device.h"
#include "autostart_entry.h"
#include "child_process.h"
#include "content_view.h"
#include "headless_console.h"
#include "main_window.h"
#include "menu_bar_content.h"
#include "net_client.h"
#include "process_table.h"
#include "sonvale_protocol.h"
#include "tarnwell_app.h"
#include "ui_fixture.h"
#include "web_page.h"

namespace {

using namespace uitest;

class TarnwellAppTest : public ::testing::Test {
protected:
    // With stand-in engines, or with the real programs of the build.
    void launch(bool real = false) {
        if (!real) standIn.write(StandInEngine::kRunUntilTerm);
        delegate = real ? std::make_unique<AppDelegate>() : std::make_unique<AppDelegate>(standIn.options());
        app = std::make_unique<TarnwellApp>(*delegate);
        app->launch();
        settle();
    }

    StandInEngine standIn;
    LogCapture log;
    std::unique_ptr<AppDelegate> delegate;
    std::unique_ptr<TarnwellApp> app;
};

// (Quit's Ctrl+Q in the window is the desktop journey's.)
TEST_F(TarnwellAppTest, TheMenuStatusLineFollowsTheEngine) {
    launch();
    MenuBarContent& menu = app->menu();
    EXPECT_EQ(app->trayIcon().contextMenu(), &menu);
    EXPECT_FALSE(menu.statusAction()->isEnabled());  // a line of text, not a command
    EXPECT_EQ(menu.statusAction()->text(), QStringLiteral("Engine running"));
    delegate->engine().stop();
    EXPECT_EQ(menu.statusAction()->text(), QStringLiteral("Engine stopped"));
}

TEST_F(TarnwellAppTest, ClosingAndReopeningKeepsOneWindowAndTheEngineAndRestartsTheMonitor) {
    launch();
    MainWindow& window = app->window();
    QPointer<ContentView> first = window.content();
    ASSERT_TRUE(waitUntil([&] { return standIn.launches() == 1; }));

    window.close();
    settle();
    EXPECT_TRUE(first.isNull());  // the content and its monitor are gone
    EXPECT_EQ(delegate->engine().state(), EngineState::running());

    app->menu().openAction()->trigger();
    app->menu().openAction()->trigger();  // open while open: the same window
    settle();
    int shown = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        shown += qobject_cast<MainWindow*>(w) && w->isVisible();
    EXPECT_EQ(shown, 1);
    ASSERT_NE(window.content(), nullptr);
    spin(200ms);
    EXPECT_EQ(standIn.launches(), 1u);
    EXPECT_EQ(standIn.terms(), 0u);
}

TEST_F(TarnwellAppTest, StartAtLoginWritesAndRemovesTheAutostartEntryItsCheckMarkFollowsTheFile) {
    QTemporaryDir home;
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(home.path()));
    qunsetenv("XDG_CONFIG_HOME");
    launch();
    QAction* item = app->menu().startAtLoginAction();
    const QString entry = home.path() + QStringLiteral("/.config/autostart/tarnwell.desktop");
    EXPECT_FALSE(item->isChecked());
    item->trigger();
    EXPECT_TRUE(item->isChecked());
    QFile file(entry);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("\nExec=Tarnwell\n"));
    item->trigger();
    EXPECT_FALSE(QFile::exists(entry));
    EXPECT_FALSE(item->isChecked());
    QDir().mkpath(home.path() + QStringLiteral("/.config/autostart"));
    QFile(entry).open(QIODevice::WriteOnly);  // made by hand: the menu shows it when opened
    Q_EMIT app->menu().aboutToShow();
    EXPECT_TRUE(item->isChecked());
    qputenv("HOME", savedHome);
}

TEST_F(TarnwellAppTest, PairingPausedIsToldInTheWindowTheMenuAndTheStatusLineUntilTheGatewayEnds) {
    // A stand-in gateway says so at its first launch only.
    const std::string gateway = standIn.path(AppDelegate::kGatewayName);
    std::ofstream(gateway) << "#!/bin/sh\nD=" << shellQuote(standIn.path("")) << "\n"
                           << "if mkdir \"$D/paused\" 2>/dev/null; then\n"
                           << R"(  echo '{"event":"pairing-paused","until":"2030-01-02T21:05:00Z"}')"
                           << "\nfi\n"
                           << "exec sleep 60\n";
    QFile::setPermissions(QString::fromStdString(gateway), QFile::ReadOwner | QFile::ExeOwner);
    const QByteArray savedTz = qgetenv("TZ");
    qputenv("TZ", "UTC-2");  // POSIX: two hours east of UTC
    launch();
    char* written = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&written, &size);
    HeadlessConsole console(*delegate, out);
    console.printPairing();
    const QString sentence =
        QStringLiteral("Someone on the network is trying PINs: pairing paused until 23:05");
    QAction* menuLine = app->menu().pairingPausedAction();
    const auto windowLine = [&] { return child<QLabel>(*app->window().content(), "pairingPaused"); };
    const auto statusLine = [&] {  // the last one written
        std::fflush(out);
        const std::string all(written, size);
        return all.substr(all.rfind('\n', all.size() - 2) + 1);
    };

    ASSERT_TRUE(waitUntil([&] { return menuLine->isVisible(); }));
    EXPECT_EQ(menuLine->text(), sentence);
    EXPECT_FALSE(windowLine()->isHidden());
    EXPECT_EQ(windowLine()->text(), sentence);
    EXPECT_NE(statusLine().find(sentence.toStdString()), std::string::npos) << statusLine();

    ::kill(static_cast<pid_t>(delegate->gateway().pid()), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return !menuLine->isVisible(); }));
    EXPECT_TRUE(windowLine()->isHidden());
    EXPECT_EQ(statusLine().find("pairing paused"), std::string::npos) << statusLine();
    std::fclose(out);
    std::free(written);
    if (savedTz.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", savedTz);
}

class TarnwellAppOnSoundServer : public TarnwellAppTest {
protected:
    void SetUp() override {
        for (const char* program : {AppDelegate::kGatewayName, AppDelegate::kMicrophoneName})
            if (!QFile::exists(QString::fromStdString(helperPath(program))))
                GTEST_SKIP() << program << " is not part of this build";
        qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()));  // the gateway's certificate
        ASSERT_TRUE(pulse.start());
    }
    void quit() {
        app->menu().quitAction()->trigger();
        app.reset();
        delegate.reset();  // waits for what it ended
    }
    bool tarnwellSource() const {
        return pulse.sourceDescription(sonvale::kDeviceUID) == sonvale::kDeviceName;
    }

    QTemporaryDir dataHome;
    testsupport::SoundServer pulse;
};

TEST_F(TarnwellAppOnSoundServer, HelpersComeWithTheAppAndItsPinComeBackAfterAKillAndEndAtQuit) {
    // The user's own microphone is there: left alone, also at quit.
    testsupport::ChildProcess theirs(helperPath(AppDelegate::kMicrophoneName), {});
    ASSERT_TRUE(waitUntil([] { return AudioDevice::tarnwellDeviceID().has_value(); }));  // Qt learns late
    launch(true);
    EXPECT_FALSE(delegate->microphone().isRunning());
    quit();
    EXPECT_EQ(theirs.waitForExit(100ms), std::nullopt);
    theirs.signal(SIGTERM);
    ASSERT_TRUE(theirs.waitForExit(20s));
    ASSERT_TRUE(waitUntil([] { return !AudioDevice::tarnwellDeviceID(); }));

    launch(true);
    const std::string web = helperPath(AppDelegate::kGatewayName);
    const std::optional<testsupport::ProcessInfo> first =
        testsupport::waitObservable(pid_t(delegate->gateway().pid()), web);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->argv, std::vector<std::string>{web});  // the PIN goes on its standard input
    EXPECT_TRUE(waitUntil([&] { return delegate->microphone().isRunning() && tarnwellSource(); }));

    // A page says hello with the PIN: the tray and the window tell that a browser streams.
    testsupport::TcpClient probe;
    ASSERT_TRUE(probe.connectWithin(sonvale::kWebPort, 20s));
    testsupport::Page page;
    ASSERT_TRUE(page.opened());
    const QString idle = app->menu().browserAction()->text();
    page.hello(delegate->engine().pin().toStdString());
    EXPECT_TRUE(waitUntil([&] { return app->menu().browserAction()->text() != idle; }));
    const QString line = child<QLabel>(*app->window().content(), "streamingText")->text();
    EXPECT_TRUE(line.endsWith(QStringLiteral(" is streaming through the browser"))) << line.toStdString();

    ::kill(first->pid, SIGKILL);
    ASSERT_TRUE(
        waitUntil([&] { return delegate->gateway().pid() > 0 && delegate->gateway().pid() != first->pid; }));
    EXPECT_FALSE(delegate->browserStreaming());  // relaunching itself is the supervisor's test

    quit();
    for (const char* program :
         {EngineController::kEngineName, AppDelegate::kGatewayName, AppDelegate::kMicrophoneName})
        EXPECT_EQ(testsupport::liveCount(helperPath(program)), 0u) << program;
    EXPECT_FALSE(tarnwellSource());
}

}  // namespace
