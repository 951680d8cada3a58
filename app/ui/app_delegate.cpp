#include "app_delegate.h"

#include "bonjour_advertiser.h"
#include "network_info.h"

AppDelegate::AppDelegate(EngineController::Options engineOptions, QObject* parent)
    : QObject(parent),
      engine_(std::make_unique<EngineController>(std::move(engineOptions))),
      bonjour_(std::make_unique<BonjourAdvertiser>()) {}

AppDelegate::~AppDelegate() {
    engine_.reset();
    bonjour_.reset();
}

void AppDelegate::applicationDidFinishLaunching() {
    bonjour_->start(NetworkInfo::computerName());
}

void AppDelegate::applicationWillTerminate() {
    bonjour_->stop();
    engine_->terminateOnQuit();
}
