#pragma once

#include <QDateTime>
#include <QObject>

#include <memory>
#include <vector>

#include "engine_controller.h"
#include "gateway_event.h"
#include "process_supervisor.h"
#include "stream_diagnostics.h"

class BonjourAdvertiser;

// Owns the long-lived services of the run: the engine controller (created first),
// the DNS-SD advertiser, and the supervisors of the two helpers found beside the
// engine, the browser's gateway "sonvale-web" (given the engine's PIN on its
// standard input, never in its arguments, and followed through the events on its
// standard output) and the microphone "sonvale-mic". Starts and stops them with
// the application; releasing them ends neither the engine nor the advertisement,
// applicationWillTerminate() does. Main thread only.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    static constexpr char kGatewayName[] = "sonvale-web";
    static constexpr char kMicrophoneName[] = "sonvale-mic";

    // The options' folder and restart delay hold for the helpers too.
    explicit AppDelegate(EngineController::Options engineOptions = {}, QObject* parent = nullptr);
    // Releases the engine controller, then the advertiser, then the helpers'
    // supervisors (which wait for their ended children).
    ~AppDelegate() override;

    EngineController& engine() { return *engine_; }
    BonjourAdvertiser& bonjour() { return *bonjour_; }
    ProcessSupervisor& gateway() { return *gateway_; }
    ProcessSupervisor& microphone() { return *microphone_; }
    // The stream's figures: the engine's statistics with the gateway's stats events.
    StreamDiagnostics& diagnostics() { return *diagnostics_; }

    // Whether a phone's browser streams through the gateway, as the gateway says.
    bool browserStreaming() const { return browserStreaming_; }
    // That browser's phone name, as the gateway gave it (may be empty).
    QString browserPhone() const { return browserPhone_; }
    // Until when the gateway takes no PIN, because someone keeps guessing it;
    // invalid while pairing is open. Cleared when the gateway says pairing
    // resumed or when it exits.
    QDateTime pairingPausedUntil() const { return pairingPausedUntil_; }
    // The phones whose browsers paired once, as the gateway last listed them.
    const std::vector<GatewayEvent::Phone>& pairedPhones() const { return pairedPhones_; }
    // Rewrites the gateway's file without that phone (the gateway notices and
    // lists the phones again); false with error when the file cannot be written.
    static bool forgetPhone(const QString& id, QString& error);

    // Advertises the computer under its name of this moment and starts the
    // gateway; starts the microphone unless the sound server already has a
    // "Tarnwell" input (the user's own service, say), which is left alone.
    void applicationDidFinishLaunching();
    // Withdraws the advertisement, then ends the engine and the helpers.
    void applicationWillTerminate();
    // Closing the main window never ends the application.
    static constexpr bool applicationShouldTerminateAfterLastWindowClosed() { return false; }

Q_SIGNALS:
    // Also when another phone's browser took over the stream.
    void browserStreamingChanged(bool streaming);
    void pairingPausedChanged(const QDateTime& until);
    void pairedPhonesChanged();

private:
    std::unique_ptr<ProcessSupervisor> helper(const char* program, ProcessSupervisor::Options options);
    void followGateway(const QString& line);
    void setBrowserStreaming(bool streaming, const QString& phone = {});
    void setPairingPausedUntil(const QDateTime& until);

    std::unique_ptr<EngineController> engine_;
    std::unique_ptr<BonjourAdvertiser> bonjour_;
    std::unique_ptr<ProcessSupervisor> gateway_;
    std::unique_ptr<ProcessSupervisor> microphone_;
    std::unique_ptr<StreamDiagnostics> diagnostics_ = std::make_unique<StreamDiagnostics>();
    bool browserStreaming_ = false;
    QString browserPhone_;
    QDateTime pairingPausedUntil_;
    std::vector<GatewayEvent::Phone> pairedPhones_;
};
