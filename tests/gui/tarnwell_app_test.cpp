// The application's frame: the tray menu, the one main window, and the quit path,
// with the delegate's real services (stand-in engines; a real avahi-daemon).
#include <QAction>
#include <QPointer>

#include "bonjour_advertiser.h"
#include "content_view.h"
#include "main_window.h"
#include "menu_bar_content.h"
#include "tarnwell_app.h"
#include "ui_fixture.h"

namespace {

using namespace uitest;

class TarnwellAppTest : public ::testing::Test {
protected:
    void launch(std::chrono::milliseconds backoff = 50ms) {
        delegate = std::make_unique<AppDelegate>(standIn.options(backoff));
        app = std::make_unique<TarnwellApp>(*delegate);
        app->launch();
        settle();
    }
    EngineController& engine() { return delegate->engine(); }

    static int visibleMainWindows() {
        int count = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<MainWindow*>(w) && w->isVisible()) ++count;
        return count;
    }

    StandInEngine standIn;
    LogCapture log;
    std::unique_ptr<AppDelegate> delegate;
    std::unique_ptr<TarnwellApp> app;
};

TEST_F(TarnwellAppTest, TheMenuHasItsItemsAndItsStatusLineFollowsTheEngine) {
    standIn.write(kFailAtStart);
    launch(60s);
    MenuBarContent& menu = app->menu();
    const QList<QAction*> items = menu.actions();
    ASSERT_EQ(items.size(), 4);
    EXPECT_EQ(items[0], menu.statusAction());
    EXPECT_FALSE(items[0]->isEnabled());  // a line of text, not a command
    EXPECT_EQ(items[1]->text(), QStringLiteral("Open Tarnwell"));
    EXPECT_TRUE(items[2]->isSeparator());
    EXPECT_EQ(items[3]->text(), QStringLiteral("Quit Tarnwell"));
    EXPECT_EQ(items[3]->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
    EXPECT_TRUE(app->window().actions().contains(items[3]));  // Ctrl+Q works in the window too

    // Failed, running, stopped, missing.
    ASSERT_TRUE(waitUntil([&] { return engine().state().kind() == EngineState::Kind::Failed; }));
    EXPECT_EQ(items[0]->text(), QStringLiteral("Engine stopped"));
    standIn.write(kRunUntilTerm);
    engine().start();
    EXPECT_EQ(items[0]->text(), QStringLiteral("Engine running"));
    engine().stop();
    EXPECT_EQ(items[0]->text(), QStringLiteral("Engine stopped"));
    QFile::remove(QString::fromStdString(standIn.dir() + "/sonvale-engine"));
    engine().start();
    EXPECT_EQ(engine().state(), EngineState::missing());
    EXPECT_EQ(items[0]->text(), QStringLiteral("Engine stopped"));
    EXPECT_EQ(app->trayIcon().contextMenu(), &menu);
}

TEST_F(TarnwellAppTest, TheWindowIsAtLeast420By640AndExtraHeightGoesAboveTheLevelSection) {
    standIn.write(kRunUntilTerm);
    launch();
    MainWindow& window = app->window();
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Tarnwell"));
    EXPECT_EQ(window.minimumWidth(), 420);
    EXPECT_GE(window.minimumHeight(), 640);
    RecordProperty("natural_height", window.minimumHeight());
    window.resize(300, 300);
    settle();
    EXPECT_GE(window.width(), 420);
    EXPECT_GE(window.height(), 640);

    ContentView& content = *window.content();
    auto* engineRow = child<QWidget>(content, "engineRow");
    auto* level = child<QWidget>(content, "levelSection");
    window.resize(420, window.minimumHeight());
    settle();
    const QRect rowBefore = engineRow->geometry();
    window.resize(700, window.minimumHeight() + 300);
    settle();
    EXPECT_EQ(level->geometry().bottom() + 1, window.height() - ContentView::kPadding);
    EXPECT_EQ(level->width(), 700 - 2 * ContentView::kPadding);
    EXPECT_EQ(engineRow->geometry().top(), rowBefore.top());  // the parts above keep their place
    EXPECT_EQ(engineRow->height(), rowBefore.height());
    EXPECT_EQ(engineRow->width(), 700 - 2 * ContentView::kPadding);  // the row spans the window
}

TEST_F(TarnwellAppTest, ClosingAndReopeningKeepsOneWindowRestartsTheMonitorAndKeepsTheEngine) {
    standIn.write(kRunUntilTerm);
    RingWriter ring;
    launch();
    MainWindow& window = app->window();
    ASSERT_TRUE(window.isVisible());
    QPointer<ContentView> first = window.content();
    ASSERT_TRUE(waitUntil([&] { return first->monitor().isRunning(); }, 5s));
    ASSERT_TRUE(waitUntil([&] { return standIn.launches() == 1; }));
    const qint64 enginePid = engine().enginePid();

    window.close();
    settle();
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(first.isNull());  // the content and its monitor are gone
    EXPECT_EQ(engine().state(), EngineState::running());
    spin(200ms);
    EXPECT_EQ(standIn.terms(), 0u);

    app->menu().openAction()->trigger();
    settle();
    EXPECT_EQ(visibleMainWindows(), 1);
    ContentView* second = window.content();
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(waitUntil([&] { return second->monitor().isRunning(); }, 5s));
    EXPECT_EQ(engine().enginePid(), enginePid);  // start() while running changes nothing
    EXPECT_EQ(standIn.launches(), 1u);

    app->menu().openAction()->trigger();  // open while open: the same window and content
    settle();
    EXPECT_EQ(visibleMainWindows(), 1);
    EXPECT_EQ(window.content(), second);
}

TEST_F(TarnwellAppTest, QuitWithdrawsTheAdvertisementThenEndsTheEngine) {
    AvahiDaemon avahi;
    ASSERT_TRUE(avahi.start());
    standIn.write(kRunUntilTerm);
    launch();
    ASSERT_TRUE(waitUntil([&] { return delegate->bonjour().isAdvertising(); }));
    ASSERT_TRUE(waitUntil([&] { return standIn.launches() == 1; }));

    app->menu().quitAction()->trigger();
    EXPECT_FALSE(delegate->bonjour().isAdvertising());
    EXPECT_FALSE(app->window().isVisible());
    EXPECT_TRUE(waitUntil([&] { return standIn.terms() == 1; }));
    spin(300ms);
    EXPECT_EQ(standIn.launches(), 1u);  // nothing relaunches it
    EXPECT_TRUE(log.lines().empty()) << log.text();
}

}  // namespace
