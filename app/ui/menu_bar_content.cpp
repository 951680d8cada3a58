#include "menu_bar_content.h"

#include <QAction>

#include "engine_controller.h"

MenuBarContent::MenuBarContent(EngineController& engine, QWidget* parent) : QMenu(parent) {
    setTitle(tr("Tarnwell"));
    status_ = addAction(QString());
    status_->setEnabled(false);
    browser_ = addAction(QString());
    browser_->setEnabled(false);
    showBrowserStreaming(false);
    open_ = addAction(tr("Open Tarnwell"));
    addSeparator();
    quit_ = addAction(tr("Quit Tarnwell"));
    quit_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    // Also in the main window, which adds this action: Ctrl+Q works there too.
    quit_->setShortcutContext(Qt::WindowShortcut);
    quit_->setMenuRole(QAction::QuitRole);

    connect(open_, &QAction::triggered, this, &MenuBarContent::openRequested);
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

void MenuBarContent::showBrowserStreaming(bool streaming) {
    browser_->setText(streaming ? tr("A browser is streaming") : tr("No browser streaming"));
}
