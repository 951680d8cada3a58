#pragma once

#include <QDateTime>
#include <QMenu>

#include "engine_state.h"

class EngineController;
class QAction;

// The tray menu: the engine's status line, whether a browser streams (and whose,
// when the gateway names the phone) and, while pairing is paused, a line that
// says so (all inactive), "Open Tarnwell", the checkable "Start at login", a
// separator and "Quit Tarnwell" (Ctrl+Q). The status line follows the engine,
// the browser's line showBrowserStreaming(), the pause's showPairingPaused();
// "Start at login" shows and sets the user's autostart entry, read afresh each
// time the menu opens.
class MenuBarContent : public QMenu {
    Q_OBJECT

public:
    explicit MenuBarContent(EngineController& engine, QWidget* parent = nullptr);

    // "Engine running" while running, "Engine stopped" in every other state.
    static QString statusLine(const EngineState& state);

    QAction* statusAction() const { return status_; }
    QAction* browserAction() const { return browser_; }
    QAction* pairingPausedAction() const { return pairingPaused_; }
    QAction* openAction() const { return open_; }
    QAction* startAtLoginAction() const { return startAtLogin_; }
    QAction* quitAction() const { return quit_; }

    // phone: the streaming browser's phone name, when the gateway gave one.
    void showBrowserStreaming(bool streaming, const QString& phone = {});
    // until invalid: pairing is open, the line is hidden.
    void showPairingPaused(const QDateTime& until);

Q_SIGNALS:
    void openRequested();
    void quitRequested();

private:
    void showState(const EngineState& state);
    void showStartAtLogin();

    QAction* status_;
    QAction* browser_;
    QAction* pairingPaused_;
    QAction* open_;
    QAction* startAtLogin_;
    QAction* quit_;
};
