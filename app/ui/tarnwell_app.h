#pragma once

#include <QObject>
#include <QSystemTrayIcon>

#include "main_window.h"
#include "menu_bar_content.h"

class AppDelegate;

// The application's frame: its two scenes, the main window and the tray icon with
// its menu, both showing the delegate's one engine controller.
//
// launch() shows both and, once the event loop runs, tells the delegate that
// launching has finished. quit() is the one way out, for "Quit Tarnwell", Ctrl+Q,
// termination signals and the session ending alike: the delegate withdraws the
// advertisement and ends the engine and the helpers, then the event loop ends.
// Without a tray (no tray program on the desktop) the application still runs
// with its window.
class TarnwellApp : public QObject {
    Q_OBJECT

public:
    explicit TarnwellApp(AppDelegate& delegate, QObject* parent = nullptr);
    ~TarnwellApp() override;

    void launch();
    // "Open Tarnwell": the one main window, opened or brought forward.
    void openWindow();
    void quit();

    MainWindow& window() { return window_; }
    MenuBarContent& menu() { return menu_; }
    QSystemTrayIcon& trayIcon() { return tray_; }

private:
    void terminate();

    AppDelegate& delegate_;
    MainWindow window_;
    MenuBarContent menu_;
    QSystemTrayIcon tray_;
    bool terminated_ = false;
};
