// gtest main for the services' tests: a Qt application object, so that timers,
// queued calls, QProcess and Qt Multimedia work inside the tests.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
