// gtest main for the services' tests: a Qt application object, so that timers,
// queued calls, QProcess and Qt Multimedia work inside the tests.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cstdio>

#include "engine_controller.h"

// With TARNWELL_TEST_SUPERVISE_ENGINE set, the binary runs no tests: it plays the
// application for a test that kills it. It starts the real engine under an
// EngineController, prints "engine <pid>" and runs until it is killed.
static int superviseEngine() {
    EngineController controller;
    controller.start();
    std::printf("engine %lld\n", static_cast<long long>(controller.enginePid()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet("TARNWELL_TEST_SUPERVISE_ENGINE")) return superviseEngine();
    return RUN_ALL_TESTS();
}
