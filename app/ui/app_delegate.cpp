#include "app_delegate.h"

#include "audio_device.h"
#include "bonjour_advertiser.h"
#include "network_info.h"
#include "system_log.h"

AppDelegate::AppDelegate(EngineController::Options engineOptions, QObject* parent)
    : QObject(parent),
      engine_(std::make_unique<EngineController>(engineOptions)),
      bonjour_(std::make_unique<BonjourAdvertiser>()),
      gateway_(helper(kGatewayName, {QStringLiteral("--pin"), engine_->pin()}, engineOptions)),
      microphone_(helper(kMicrophoneName, {}, engineOptions)) {
    connect(gateway_.get(), &ProcessSupervisor::errorLine, this, &AppDelegate::followGateway);
    connect(gateway_.get(), &ProcessSupervisor::exited, this, [this] { setBrowserStreaming(false); });
}

AppDelegate::~AppDelegate() {
    engine_.reset();
    bonjour_.reset();
}

std::unique_ptr<ProcessSupervisor> AppDelegate::helper(const char* program, QStringList arguments,
                                                       const EngineController::Options& options) {
    const QString name = QLatin1String(program);
    auto supervisor = std::make_unique<ProcessSupervisor>(
        name, std::move(arguments), name,
        ProcessSupervisor::Options{options.engineDirectory, options.restartBackoff},
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

// The gateway's own lines for the operator: "sonvale-web: a browser streams" and
// "sonvale-web: the browser stopped (how the playout went)".
void AppDelegate::followGateway(const QString& line) {
    if (line == QStringLiteral("sonvale-web: a browser streams"))
        setBrowserStreaming(true);
    else if (line.startsWith(QStringLiteral("sonvale-web: the browser stopped")))
        setBrowserStreaming(false);
}

void AppDelegate::setBrowserStreaming(bool streaming) {
    if (streaming == browserStreaming_) return;
    browserStreaming_ = streaming;
    Q_EMIT browserStreamingChanged(streaming);
}
