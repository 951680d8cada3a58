#pragma once

#include <QObject>

#include <memory>

#include "engine_controller.h"

class BonjourAdvertiser;

// Owns the two long-lived services of the run, the engine controller (created
// first) and the DNS-SD advertiser, and starts and stops them with the
// application. Releasing them ends neither the engine nor the advertisement;
// applicationWillTerminate() does. Main thread only.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    explicit AppDelegate(EngineController::Options engineOptions = {}, QObject* parent = nullptr);
    // Releases the engine controller, then the advertiser.
    ~AppDelegate() override;

    EngineController& engine() { return *engine_; }
    BonjourAdvertiser& bonjour() { return *bonjour_; }

    // Advertises the computer under its name of this moment.
    void applicationDidFinishLaunching();
    // Withdraws the advertisement, then ends the engine.
    void applicationWillTerminate();
    // Closing the main window never ends the application.
    static constexpr bool applicationShouldTerminateAfterLastWindowClosed() { return false; }

private:
    std::unique_ptr<EngineController> engine_;
    std::unique_ptr<BonjourAdvertiser> bonjour_;
};
