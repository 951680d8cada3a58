// sonvale-web: the browser's way in. Serves the page that turns a phone's
// browser into the microphone, over HTTPS with its own certificate, takes the
// page's audio over a WebSocket (or POST requests) and hands it to the engine on
// this host as the engine's own datagrams. The PIN comes on standard input,
// never in the arguments, which every local user can read; what happens goes to
// standard output as JSON lines (gateway_events.h), human lines to standard error.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileSystemWatcher>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <cstdio>

#include "certificate_store.h"
#include "gateway_core.h"
#include "gateway_events.h"
#include "network_info.h"
#include "paired_phones.h"
#include "pairing_url.h"
#include "private_file.h"
#include "sonvale_protocol.h"
#include "web_server.h"

namespace {

void say(const QString& line) {
    std::fprintf(stderr, "sonvale-web: %s\n", qPrintable(line));
}

// SIGINT and SIGTERM end the event loop through a descriptor, outside any
// signal handler.
class StopSignals {
public:
    StopSignals() {
        sigemptyset(&mask_);
        sigaddset(&mask_, SIGINT);
        sigaddset(&mask_, SIGTERM);
        sigprocmask(SIG_BLOCK, &mask_, nullptr);
        fd_ = signalfd(-1, &mask_, SFD_CLOEXEC | SFD_NONBLOCK);
        notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [] { QCoreApplication::quit(); });
    }
    ~StopSignals() {
        notifier_.reset();
        if (fd_ >= 0) ::close(fd_);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    sigset_t mask_{};
    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};

// The first line of standard input, without its line end; on a terminal after
// a prompt. Empty when there is none.
QString readPin() {
    if (::isatty(STDIN_FILENO) == 1) {
        std::fputs("PIN: ", stderr);
        std::fflush(stderr);
    }
    char line[256] = {};
    if (!std::fgets(line, sizeof line, stdin)) return {};
    return QString::fromUtf8(line).remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
}

QStringList lanAddresses() {
    QStringList addresses;
    for (const NetworkInfo::InterfaceAddress& entry : NetworkInfo::ipv4Addresses()) {
        if (!addresses.contains(entry.address)) addresses << entry.address;
    }
    if (!addresses.contains("127.0.0.1")) addresses.prepend("127.0.0.1");
    return addresses;
}

QString certificateFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/tarnwell";
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("sonvale-web");
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Serves the page with which a phone's browser becomes this computer's microphone, on HTTPS port " +
        QString::number(sonvale::kWebPort) +
        ", and passes its audio to the engine on this host. The first line of standard input is the PIN "
        "the engine was started with, which the page must give. Standard output carries one JSON object "
        "a line: the link to open once listening, then when a browser starts or stops streaming, how its "
        "stream goes once a second, and when pairing pauses against guessing or resumes.");
    parser.addHelpOption();
    parser.process(app);
    const QString pin = readPin();
    if (pin.isEmpty() || pin.size() > 32 || pin.contains('"') || pin.contains('\\')) {
        say("give the engine's PIN as the first line of standard input");
        return 2;
    }

    StopSignals stopSignals;
    const QString name = NetworkInfo::computerName();
    const QStringList addresses = lanAddresses();
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const QStringList dnsNames{"localhost", QString::fromLocal8Bit(host) + ".local"};

    QString error;
    // Every address's certificate now, so a failure shows at start and not at a phone's first visit.
    CertificateStore certificates(certificateFolder(), dnsNames);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const QString& address : addresses) {
        const auto identity = certificates.obtain(address, now, error);
        if (!identity) {
            say(error);
            return 1;
        }
        if (identity->made) say("made a new certificate for " + address);
    }

    // The phones paired before; Tarnwell forgets one by rewriting the file.
    PairedPhones phones(PairedPhones::defaultPath());
    phones.reload();
    if (!PrivateFile::makeFolder(certificateFolder(), error)) say(error);
    QFileSystemWatcher phonesWatch({certificateFolder()});

    GatewayCore core(pin, name, phones);
    WebServer server(core, name, dnsNames + addresses);
    if (!server.listen(certificates, sonvale::kWebPort, error)) {
        say(QString("cannot listen on port %1: %2").arg(sonvale::kWebPort).arg(error));
        return 1;
    }
    GatewayEvents events;
    QObject::connect(&core, &GatewayCore::streamingChanged, [&events](bool streaming, const QString& detail) {
        say(streaming ? "a browser streams" : "the browser stopped (" + detail + ")");
        if (!streaming) events.streamStopped(detail);
    });
    QObject::connect(&core, &GatewayCore::streamStarted,
                     [&events](const QString& phone, const QString& transport, const QString& codec) {
                         events.streamStarted(phone, transport, codec);
                     });
    QObject::connect(&core, &GatewayCore::phonesChanged, [&events, &phones](const QString& problem) {
        if (!problem.isEmpty()) say(problem);
        events.phones(phones.phones());
    });
    QObject::connect(&phonesWatch, &QFileSystemWatcher::directoryChanged, [&events, &phones, &core] {
        core.phonesForgotten(phones.reload());
        events.phones(phones.phones());
    });
    QObject::connect(&core, &GatewayCore::pairingPaused, [&events](const QDateTime& until) {
        say("someone is trying PINs: pairing paused until " + until.toUTC().toString(Qt::ISODate));
        events.pairingPaused(until);
    });
    QObject::connect(&core, &GatewayCore::statistics,
                     [&events](const QJsonObject& stats) { events.stats(stats); });
    QObject::connect(&core, &GatewayCore::pairingResumed, [&events] {
        say("pairing resumed");
        events.pairingResumed();
    });

    const QString address = NetworkInfo::primaryIPv4().value_or("127.0.0.1");
    say("listening on " + address + ", port " + QString::number(sonvale::kWebPort));
    events.ready(QString::fromStdString(makeBrowserURL(address.toStdString(), pin.toStdString())));
    events.phones(phones.phones());
    return app.exec();
}
