// Tarnwell: the tray application that pairs the phone, supervises the engine and
// shows that audio arrives.
#include <QApplication>

#include <cstdio>

#include "app_delegate.h"
#include "display_check.h"
#include "single_instance.h"
#include "symbol_icon.h"
#include "tarnwell_app.h"
#include "termination_signals.h"

int main(int argc, char** argv) {
    if (const std::string problem = DisplayCheck::problem(DisplayCheck::fromProcess()); !problem.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        return 2;
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnwell"));
    QApplication::setDesktopFileName(QStringLiteral("tarnwell"));
    QApplication::setWindowIcon(SymbolIcon::appIcon());

    SingleInstance instance;
    if (instance.claim() == SingleInstance::Role::Secondary) return 0;

    // Before the engine exists, so that no termination request can skip ending it.
    TerminationSignals termination;
    AppDelegate delegate;
    TarnwellApp app(delegate);
    QObject::connect(&termination, &TerminationSignals::received, &app, &TarnwellApp::quit);
    QObject::connect(&instance, &SingleInstance::openRequested, &app, &TarnwellApp::openWindow);
    app.launch();
    return QApplication::exec();
}
