// Bounded polling: the one way tests wait for something another process does.
#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

using namespace std::chrono_literals;

// Polls done() every few milliseconds until it holds or timeout passes; returns
// its last value. Timeouts are generous: a loaded machine is slow, never wrong.
template <class Predicate>
bool waitFor(Predicate done, std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

}  // namespace testsupport
