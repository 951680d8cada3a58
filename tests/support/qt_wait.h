// Bounded polling for tests that own a Qt event loop: events keep running while
// they wait, so the test's own sockets, timers and child processes move.
#pragma once

#include <QCoreApplication>

#include "wait.h"

namespace testsupport {

template <class Predicate>
bool pumpUntil(Predicate done, std::chrono::milliseconds timeout = 20s) {
    return waitFor(
        [&] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            return done();
        },
        timeout);
}

}  // namespace testsupport
