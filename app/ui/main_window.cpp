#include "main_window.h"

#include <QCloseEvent>
#include <QVBoxLayout>

#include "content_view.h"
#include "theme.h"

MainWindow::MainWindow(EngineController& engine, QWidget* parent)
    : QWidget(parent, Qt::Window), engine_(engine), layout_(new QVBoxLayout(this)) {
    setWindowTitle(tr("Tarnwell"));
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Theme::background());
    setPalette(palette);
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(0);
}

MainWindow::~MainWindow() {
    tearDownContent();
}

void MainWindow::open() {
    const bool fresh = content_ == nullptr;
    if (fresh) {
        content_ = new ContentView(engine_, this);
        layout_->addWidget(content_);
    }
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
    if (fresh) content_->appear();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    tearDownContent();
}

void MainWindow::tearDownContent() {
    if (!content_) return;
    content_->disappear();
    delete content_;
    content_ = nullptr;
}
