#pragma once

#include <QObject>

#include <memory>

#include "engine_controller.h"
#include "process_supervisor.h"

class BonjourAdvertiser;

// Owns the long-lived services of the run: the engine controller (created first),
// the DNS-SD advertiser, and the supervisors of the two helpers found beside the
// engine, the browser's gateway "sonvale-web" (given the engine's PIN) and the
// microphone "sonvale-mic". Starts and stops them with the application; releasing
// them ends neither the engine nor the advertisement, applicationWillTerminate()
// does. Main thread only.
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

    // Whether a phone's browser streams through the gateway, as the gateway says.
    bool browserStreaming() const { return browserStreaming_; }

    // Advertises the computer under its name of this moment and starts the
    // gateway; starts the microphone unless the sound server already has a
    // "Tarnwell" input (the user's own service, say), which is left alone.
    void applicationDidFinishLaunching();
    // Withdraws the advertisement, then ends the engine and the helpers.
    void applicationWillTerminate();
    // Closing the main window never ends the application.
    static constexpr bool applicationShouldTerminateAfterLastWindowClosed() { return false; }

Q_SIGNALS:
    void browserStreamingChanged(bool streaming);

private:
    std::unique_ptr<ProcessSupervisor> helper(const char* program, QStringList arguments,
                                              const EngineController::Options& options);
    void followGateway(const QString& line);
    void setBrowserStreaming(bool streaming);

    std::unique_ptr<EngineController> engine_;
    std::unique_ptr<BonjourAdvertiser> bonjour_;
    std::unique_ptr<ProcessSupervisor> gateway_;
    std::unique_ptr<ProcessSupervisor> microphone_;
    bool browserStreaming_ = false;
};
