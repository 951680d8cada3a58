#include "menu_bar_content.h"

#include <QAction>

#include "autostart_entry.h"
#include "content_view.h"
#include "engine_controller.h"
#include "system_log.h"

MenuBarContent::MenuBarContent(EngineController& engine, QWidget* parent) : QMenu(parent) {
    setTitle(tr("Tarnwell"));
    status_ = addAction(QString());
    status_->setEnabled(false);
    browser_ = addAction(QString());
    browser_->setEnabled(false);
    showBrowserStreaming(false);
    pairingPaused_ = addAction(QString());
    pairingPaused_->setEnabled(false);
    showPairingPaused({});
    open_ = addAction(tr("Open Tarnwell"));
    startAtLogin_ = addAction(tr("Start at login"));
    startAtLogin_->setCheckable(true);
    addSeparator();
    quit_ = addAction(tr("Quit Tarnwell"));
    quit_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    // Also in the main window, which adds this action: Ctrl+Q works there too.
    quit_->setShortcutContext(Qt::WindowShortcut);
    quit_->setMenuRole(QAction::QuitRole);

    connect(open_, &QAction::triggered, this, &MenuBarContent::openRequested);
    connect(startAtLogin_, &QAction::triggered, this, [this](bool on) {
        if (!AutostartEntry::setEnabled(on))
            SystemLog::write(QStringLiteral("cannot change the autostart entry ") + AutostartEntry::path());
        showStartAtLogin();
    });
    connect(this, &QMenu::aboutToShow, this, &MenuBarContent::showStartAtLogin);
    showStartAtLogin();
    connect(quit_, &QAction::triggered, this, &MenuBarContent::quitRequested);
    connect(&engine, &EngineController::stateChanged, this, &MenuBarContent::showState);
    showState(engine.state());
}

QString MenuBarContent::statusLine(const EngineState& state) {
    return state.kind() == EngineState::Kind::Running ? tr("Engine running") : tr("Engine stopped");
}

void MenuBarContent::showState(const EngineState& state) {
    status_->setText(statusLine(state));
}

void MenuBarContent::showBrowserStreaming(bool streaming, const QString& phone) {
    if (!streaming)
        browser_->setText(tr("No browser streaming"));
    else if (phone.isEmpty())
        browser_->setText(tr("A browser is streaming"));
    else
        browser_->setText(ContentView::streamingText(phone, true));
}

void MenuBarContent::showPairingPaused(const QDateTime& until) {
    pairingPaused_->setText(until.isValid() ? ContentView::pairingPausedText(until) : QString());
    pairingPaused_->setVisible(until.isValid());
}

void MenuBarContent::showStartAtLogin() {
    startAtLogin_->setChecked(AutostartEntry::enabled());
}
