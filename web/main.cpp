// sonvale-web: the browser's way in. Serves the page that turns a phone's
// browser into the microphone, over HTTPS with its own certificate, takes the
// page's audio over a WebSocket (or POST requests) and hands it to the engine on
// this host as the engine's own datagrams.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <cstdio>

#include "certificate_store.h"
#include "gateway_core.h"
#include "network_info.h"
#include "pairing_url.h"
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
        QString::number(sonvale::kWebPort) + ", and passes its audio to the engine on this host.");
    parser.addHelpOption();
    const QCommandLineOption pinOption("pin", "The PIN the engine was started with; the page must give it.",
                                       "PIN");
    parser.addOption(pinOption);
    parser.process(app);
    const QString pin = parser.value(pinOption);
    if (pin.isEmpty() || pin.size() > 32 || pin.contains('"') || pin.contains('\\')) {
        say("give the engine's PIN with --pin PIN");
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

    GatewayCore core(pin, name);
    WebServer server(core, name, dnsNames + addresses);
    if (!server.listen(certificates, sonvale::kWebPort, error)) {
        say(QString("cannot listen on port %1: %2").arg(sonvale::kWebPort).arg(error));
        return 1;
    }
    QObject::connect(&core, &GatewayCore::streamingChanged, [](bool streaming, const QString& detail) {
        say(streaming ? "a browser streams" : "the browser stopped (" + detail + ")");
    });

    const QString address = NetworkInfo::primaryIPv4().value_or("127.0.0.1");
    std::printf("%s\n", makeBrowserURL(address.toStdString(), pin.toStdString()).c_str());
    std::fflush(stdout);
    return app.exec();
}
