// Tarnwell: the tray application that pairs the phone, supervises the engine and
// shows that audio arrives.
#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <optional>

#include "app_delegate.h"
#include "display_check.h"
#include "single_instance.h"
#include "symbol_icon.h"
#include "tarnwell_app.h"
#include "termination_signals.h"

namespace {

// --help and --version answer without a display; anything unknown is refused.
// Returns the exit status when the program is to end here.
std::optional<int> answerCommandLine(int argc, char** argv) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Use a phone as this computer's microphone: shows the pairing code, runs the "
                       "audio engine and meters the sound that arrives."));
    // Our own options rather than Qt's, whose help lists Qt options we refuse.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    parser.addOption(help);
    parser.addOption(version);
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
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication::setApplicationName(QStringLiteral("Tarnwell"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TARNWELL_VERSION));
    if (const std::optional<int> status = answerCommandLine(argc, argv)) return *status;
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
