// gtest main for the end-to-end tests of Tarnwell: a QGuiApplication on the X
// display that xvfb-run provides, so that the tests can look at the screen.
#include <gtest/gtest.h>

#include <QGuiApplication>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QGuiApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
