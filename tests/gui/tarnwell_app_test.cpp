// The application's frame: the tray menu and the one main window, with the
// delegate's real services (stand-in engines).
#include <QAction>
#include <QPointer>

#include "app_delegate.h"
#include "content_view.h"
#include "main_window.h"
#include "menu_bar_content.h"
#include "tarnwell_app.h"
#include "ui_fixture.h"

namespace {

using namespace uitest;

class TarnwellAppTest : public ::testing::Test {
protected:
    void launch() {
        standIn.write(StandInEngine::kRunUntilTerm);
        delegate = std::make_unique<AppDelegate>(standIn.options());
        app = std::make_unique<TarnwellApp>(*delegate);
        app->launch();
        settle();
    }

    StandInEngine standIn;
    LogCapture log;
    std::unique_ptr<AppDelegate> delegate;
    std::unique_ptr<TarnwellApp> app;
};

TEST_F(TarnwellAppTest, TheMenuStatusLineFollowsTheEngineAndQuitWorksInTheWindowToo) {
    launch();
    MenuBarContent& menu = app->menu();
    EXPECT_EQ(app->trayIcon().contextMenu(), &menu);
    EXPECT_FALSE(menu.statusAction()->isEnabled());  // a line of text, not a command
    EXPECT_EQ(menu.statusAction()->text(), QStringLiteral("Engine running"));
    delegate->engine().stop();
    EXPECT_EQ(menu.statusAction()->text(), QStringLiteral("Engine stopped"));
    EXPECT_EQ(menu.quitAction()->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
    EXPECT_TRUE(app->window().actions().contains(menu.quitAction()));
}

TEST_F(TarnwellAppTest, ClosingAndReopeningKeepsOneWindowAndTheEngineAndRestartsTheMonitor) {
    launch();
    MainWindow& window = app->window();
    QPointer<ContentView> first = window.content();
    ASSERT_TRUE(waitUntil([&] { return standIn.launches() == 1; }));
    EXPECT_GE(window.width(), 420);
    EXPECT_GE(window.height(), 640);

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

}  // namespace
