#include "main_window.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>

#include "content_view.h"
#include "stream_diagnostics_view.h"
#include "theme.h"

MainWindow::MainWindow(EngineController& engine, QWidget* parent)
    : QWidget(parent, Qt::Window), engine_(engine), scroll_(new QScrollArea) {
    setWindowTitle(tr("Tarnwell"));
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Theme::background());
    setPalette(palette);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->viewport()->setAutoFillBackground(false);
    // The platform's light scroll bar would be the only light thing in the window.
    scroll_->verticalScrollBar()->setStyleSheet(
        QStringLiteral("QScrollBar:vertical { background: %1; width: 10px; margin: 0; }"
                       "QScrollBar::handle:vertical { background: %2; border-radius: 4px; min-height: 40px;"
                       " margin: 2px; }"
                       "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
                       "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }")
            .arg(Theme::background().name(),
                 Theme::withOpacity(Theme::textSecondary(), 0.3).name(QColor::HexArgb)));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll_);
}

MainWindow::~MainWindow() {
    tearDownContent();
}

void MainWindow::open() {
    const bool fresh = content_ == nullptr;
    if (fresh) {
        content_ = new ContentView(engine_);
        content_->showPairingPaused(pairingPausedUntil_);
        content_->showPairedPhones(pairedPhones_);
        content_->diagnostics()->showFigures(figures_);
        content_->showBrowserStream(browserPhone_);
        // Decided afresh at each opening, for the screen the window is on now.
        content_->setCompact(content_->sizeHint().height() > availableArea().height() - titleBarAllowance());
        scroll_->setWidget(content_);
    }
    if (!placed_) placeOnScreen();
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
    if (fresh) content_->appear();
}

void MainWindow::showPairingPaused(const QDateTime& until) {
    pairingPausedUntil_ = until;
    if (content_) content_->showPairingPaused(until);
}

void MainWindow::showPairedPhones(const std::vector<GatewayEvent::Phone>& phones) {
    pairedPhones_ = phones;
    if (content_) content_->showPairedPhones(phones);
}

void MainWindow::showDiagnostics(const StreamFigures& figures) {
    figures_ = figures;
    if (content_) content_->diagnostics()->showFigures(figures);
}

void MainWindow::showBrowserStream(const std::optional<QString>& phone) {
    browserPhone_ = phone;
    if (content_) content_->showBrowserStream(phone);
}

QRect MainWindow::availableArea() const {
    return (screen() ? screen() : QGuiApplication::primaryScreen())->availableGeometry();
}

// The frame is unknown before the window manager has framed the window: allow
// for a title bar of the usual height.
int MainWindow::titleBarAllowance() const {
    return style()->pixelMetric(QStyle::PM_TitleBarHeight) + 8;
}

void MainWindow::placeOnScreen() {
    placed_ = true;
    const QRect area = availableArea();
    const int titleBar = titleBarAllowance();
    const QSize wanted = content_->sizeHint();
    const int width =
        std::min(wanted.width() + scroll_->verticalScrollBar()->sizeHint().width(), area.width());
    const int height = std::min(wanted.height(), area.height() - titleBar);
    const int minimumHeight = std::min(ContentView::kMinimumHeight, height);
    setMinimumSize(std::min(ContentView::kMinimumWidth, width), minimumHeight);
    resize(wanted.height() <= height ? wanted.width() : width, height);
    move(area.x() + (area.width() - this->width()) / 2,
         area.y() + std::max(0, (area.height() - height - titleBar) / 2));
}

void MainWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    tearDownContent();
}

void MainWindow::tearDownContent() {
    if (!content_) return;
    content_->disappear();
    delete scroll_->takeWidget();
    content_ = nullptr;
}
