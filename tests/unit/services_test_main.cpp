// gtest main for the services' tests: a Qt application object, so that timers,
// queued calls, QProcess and Qt Multimedia work inside the tests.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cstdio>

#include "engine_controller.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    if (!qEnvironmentVariableIsSet("TARNWELL_TEST_SUPERVISE_ENGINE")) return RUN_ALL_TESTS();
    // The binary plays the application for a test that kills it: the real engine
    // under an EngineController, "engine <pid>" printed, running until killed.
    EngineController controller;
    controller.start();
    std::printf("engine %lld\n", static_cast<long long>(controller.enginePid()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}
