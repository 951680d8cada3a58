#pragma once

#include <signal.h>

// Turns SIGINT and SIGTERM into a readable descriptor, so a tool's wait loop
// sees a stop request like any other input and can finish its work cleanly
// (close files, print its summary). Blocks the two signals for the process
// while it lives; restores the previous mask when destroyed.
class SignalWatch {
public:
    SignalWatch();
    ~SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    int fd() const { return fd_; }
    // True once a stop signal has arrived (reads it from the descriptor).
    bool stopRequested();
    // Sleeps up to ms milliseconds; returns early (true) when a stop arrives.
    bool sleepFor(int ms);

private:
    int fd_ = -1;
    bool stopped_ = false;
    sigset_t previousMask_{};
};
