#pragma once

// Helpers for the widget tests: finding named children and letting queued
// layout and paint requests run.

#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>

#include "services_fixture.h"

namespace uitest {

using namespace servicestest;

template <class T>
T* child(QWidget& root, const char* name) {
    return root.findChild<T*>(QLatin1String(name));
}

// Where the build keeps the application's helper programs.
inline std::string helperPath(const char* program) {
    return testsupport::buildDir() + "/libexec/tarnwell/" + program;
}

inline void settle() {
    for (int i = 0; i < 3; ++i) {
        QApplication::processEvents();
        QTest::qWait(10);
    }
}

}  // namespace uitest
