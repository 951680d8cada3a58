#include "tarnwell_app.h"

#include <QApplication>
#include <QCursor>
#include <QTimer>

#include "app_delegate.h"
#include "symbol_icon.h"

TarnwellApp::TarnwellApp(AppDelegate& delegate, QObject* parent)
    : QObject(parent), delegate_(delegate), window_(delegate.engine()), menu_(delegate.engine()) {
    window_.addAction(menu_.quitAction());
    tray_.setIcon(SymbolIcon::appIcon());
    tray_.setToolTip(tr("Tarnwell"));
    tray_.setContextMenu(&menu_);
    // A left click opens the same menu: the tray item is a pull-down menu.
    connect(&tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) menu_.popup(QCursor::pos());
    });
    connect(&menu_, &MenuBarContent::openRequested, this, &TarnwellApp::openWindow);
    connect(&menu_, &MenuBarContent::quitRequested, this, &TarnwellApp::quit);
    connect(&delegate_, &AppDelegate::browserStreamingChanged, this, [this](bool streaming) {
        menu_.showBrowserStreaming(streaming, delegate_.browserPhone());
        window_.showBrowserStream(streaming ? std::optional(delegate_.browserPhone()) : std::nullopt);
    });
    connect(&delegate_, &AppDelegate::pairingPausedChanged, &menu_, &MenuBarContent::showPairingPaused);
    connect(&delegate_, &AppDelegate::pairingPausedChanged, &window_, &MainWindow::showPairingPaused);
    connect(&delegate_, &AppDelegate::pairedPhonesChanged, this,
            [this] { window_.showPairedPhones(delegate_.pairedPhones()); });
    connect(&delegate_.diagnostics(), &StreamDiagnostics::changed, this,
            [this] { window_.showDiagnostics(delegate_.diagnostics().figures()); });
    connect(qApp, &QCoreApplication::aboutToQuit, this, &TarnwellApp::terminate);
}

TarnwellApp::~TarnwellApp() = default;

void TarnwellApp::launch() {
    QApplication::setQuitOnLastWindowClosed(AppDelegate::applicationShouldTerminateAfterLastWindowClosed());
    tray_.show();
    window_.open();
    QTimer::singleShot(0, this, [this] {
        if (!terminated_) delegate_.applicationDidFinishLaunching();
    });
}

void TarnwellApp::openWindow() {
    if (terminated_) return;
    window_.open();
}

void TarnwellApp::quit() {
    terminate();
    QCoreApplication::quit();
}

void TarnwellApp::terminate() {
    if (terminated_) return;
    terminated_ = true;
    tray_.hide();
    window_.close();
    delegate_.applicationWillTerminate();
}
