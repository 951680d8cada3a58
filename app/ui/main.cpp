// Tarnwell: the tray application that pairs the phone, supervises the engine and
// shows that audio arrives.
#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include <cstdio>
#include <optional>

#include "app_delegate.h"
#include "display_check.h"
#include "headless_console.h"
#include "paired_phones.h"
#include "single_instance.h"
#include "symbol_icon.h"
#include "tarnwell_app.h"
#include "termination_signals.h"

namespace {

// --help and --version answer without a display; anything unknown is refused.
// Returns the exit status when the program is to end here.
std::optional<int> answerCommandLine(int argc, char** argv, bool& headless) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Use a phone as this computer's microphone: shows the pairing code, runs the "
                       "audio engine and meters the sound that arrives."));
    // Our own options rather than Qt's, whose help lists Qt options we refuse.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption headlessOption(
        QStringLiteral("headless"),
        QStringLiteral("Run without a window or display: print the pairing codes and a status line "
                       "to the terminal; Ctrl-C ends."));
    parser.addOption(help);
    parser.addOption(version);
    const QCommandLineOption forgetPhones(
        QStringLiteral("forget-phones"),
        QStringLiteral("Forget every phone whose browser paired before, so each needs the PIN again, "
                       "and exit."));
    parser.addOption(headlessOption);
    parser.addOption(forgetPhones);
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) {
        const QString error =
            parser.errorText().isEmpty()
                ? QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first())
                : parser.errorText();
        std::fprintf(stderr, "Tarnwell: %s\nTry 'Tarnwell --help'.\n", qPrintable(error));
        return 2;
    }
    if (parser.isSet(help)) {
        // Without an application object Qt cannot know the program's name.
        QString text = parser.helpText();
        text.replace(QStringLiteral("<executable_name>"), QStringLiteral("Tarnwell"));
        std::fputs(qPrintable(text), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("Tarnwell %s\n", TARNWELL_VERSION);
        return 0;
    }
    if (parser.isSet(forgetPhones)) {
        // A running gateway sees the file change and ends a forgotten phone's stream.
        PairedPhones phones(PairedPhones::defaultPath());
        QString error;
        if (!phones.forget(QString(), error)) {
            std::fprintf(stderr, "Tarnwell: %s\n", qPrintable(error));
            return 1;
        }
        return 0;
    }
    headless = parser.isSet(headlessOption);
    return std::nullopt;
}

// Everything but the window, under the same supervision and the same way out.
int runHeadless(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Tarnwell"));
    SingleInstance instance;
    if (instance.claim() == SingleInstance::Role::Secondary) return 0;

    TerminationSignals termination;
    AppDelegate delegate;
    HeadlessConsole console(delegate);
    bool terminated = false;
    const auto terminate = [&] {
        if (terminated) return;
        terminated = true;
        delegate.applicationWillTerminate();
    };
    QObject::connect(&termination, &TerminationSignals::received, &application, [&] {
        terminate();
        QCoreApplication::quit();
    });
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &application, terminate);
    delegate.engine().start();
    QTimer::singleShot(0, &application, [&] {
        if (terminated) return;
        delegate.applicationDidFinishLaunching();
        console.printPairing();
    });
    const int status = QGuiApplication::exec();
    std::fputc('\n', stdout);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication::setApplicationName(QStringLiteral("Tarnwell"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TARNWELL_VERSION));
    bool headless = false;
    if (const std::optional<int> status = answerCommandLine(argc, argv, headless)) return *status;
    if (headless) return runHeadless(argc, argv);
    if (const std::string problem = DisplayCheck::problem(DisplayCheck::fromProcess()); !problem.empty()) {
        std::fprintf(stderr, "%s (Tarnwell --headless runs without one)\n", problem.c_str());
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
