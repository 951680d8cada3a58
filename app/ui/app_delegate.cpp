#include "app_delegate.h"

#include "audio_device.h"
#include "bonjour_advertiser.h"
#include "gateway_event.h"
#include "network_info.h"
#include "paired_phones.h"
#include "system_log.h"

namespace {

ProcessSupervisor::Options helperOptions(const EngineController::Options& engineOptions) {
    return {.directory = engineOptions.engineDirectory, .restartDelay = engineOptions.restartBackoff};
}

ProcessSupervisor::Options gatewayOptions(const EngineController::Options& engineOptions,
                                          const QString& pin) {
    ProcessSupervisor::Options options = helperOptions(engineOptions);
    options.standardInput = pin.toUtf8() + '\n';
    options.outputLines = true;
    return options;
}

}  // namespace

AppDelegate::AppDelegate(EngineController::Options engineOptions, QObject* parent)
    : QObject(parent),
      engine_(std::make_unique<EngineController>(engineOptions)),
      bonjour_(std::make_unique<BonjourAdvertiser>()),
      gateway_(helper(kGatewayName, gatewayOptions(engineOptions, engine_->pin()))),
      microphone_(helper(kMicrophoneName, helperOptions(engineOptions))) {
    connect(gateway_.get(), &ProcessSupervisor::outputLine, this, &AppDelegate::followGateway);
    connect(gateway_.get(), &ProcessSupervisor::exited, this, [this] {
        setBrowserStreaming(false);
        setPairingPausedUntil({});
        diagnostics_->browserStopped();
    });
}

AppDelegate::~AppDelegate() {
    engine_.reset();
    bonjour_.reset();
}

std::unique_ptr<ProcessSupervisor> AppDelegate::helper(const char* program,
                                                       ProcessSupervisor::Options options) {
    const QString name = QLatin1String(program);
    auto supervisor = std::make_unique<ProcessSupervisor>(name, QStringList(), name, std::move(options),
                                                          ProcessSupervisor::Output::logErrors);
    // The relaunch line says that it failed; this says why.
    connect(supervisor.get(), &ProcessSupervisor::launchFailed, this, [name](const QString& error) {
        SystemLog::write(name + QStringLiteral(" failed to start: ") + error);
    });
    return supervisor;
}

void AppDelegate::applicationDidFinishLaunching() {
    bonjour_->start(NetworkInfo::computerName());
    gateway_->start();
    if (!AudioDevice::tarnwellDeviceID()) microphone_->start();
}

void AppDelegate::applicationWillTerminate() {
    bonjour_->stop();
    engine_->terminateOnQuit();
    gateway_->terminateOnQuit();
    microphone_->terminateOnQuit();
}

// Lines that are no event (an older or newer gateway's) are passed over.
void AppDelegate::followGateway(const QString& line) {
    const std::optional<GatewayEvent> event = GatewayEvent::parse(line);
    if (!event) return;
    switch (event->kind) {
        case GatewayEvent::Kind::Ready:
            break;
        case GatewayEvent::Kind::StreamStarted:
            setBrowserStreaming(true, event->phone);
            break;
        case GatewayEvent::Kind::StreamStopped:
            setBrowserStreaming(false);
            diagnostics_->browserStopped();
            break;
        case GatewayEvent::Kind::Stats:
            diagnostics_->gatewayStats(event->stats);
            break;
        case GatewayEvent::Kind::PairingPaused:
            setPairingPausedUntil(event->until);
            break;
        case GatewayEvent::Kind::PairingResumed:
            setPairingPausedUntil({});
            break;
        case GatewayEvent::Kind::Phones:
            pairedPhones_ = event->phones;
            Q_EMIT pairedPhonesChanged();
            break;
    }
}

bool AppDelegate::forgetPhone(const QString& id, QString& error) {
    if (id.isEmpty()) return true;  // an empty id would forget them all
    PairedPhones phones(PairedPhones::defaultPath());
    phones.reload();
    return phones.forget(id, error);
}

void AppDelegate::setBrowserStreaming(bool streaming, const QString& phone) {
    if (streaming == browserStreaming_ && phone == browserPhone_) return;
    browserStreaming_ = streaming;
    browserPhone_ = phone;
    Q_EMIT browserStreamingChanged(streaming);
}

void AppDelegate::setPairingPausedUntil(const QDateTime& until) {
    if (until == pairingPausedUntil_ || (!until.isValid() && !pairingPausedUntil_.isValid())) return;
    pairingPausedUntil_ = until;
    Q_EMIT pairingPausedChanged(until);
}
