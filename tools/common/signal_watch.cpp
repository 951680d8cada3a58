#include "signal_watch.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

SignalWatch::SignalWatch() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, &previousMask_);
    fd_ = signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
    // Without the descriptor the signals keep their default action, so a stop still stops.
    if (fd_ < 0) sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
}

SignalWatch::~SignalWatch() {
    if (fd_ >= 0) close(fd_);
    sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
}

bool SignalWatch::stopRequested() {
    if (stopped_ || fd_ < 0) return stopped_;
    signalfd_siginfo info;
    while (read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        stopped_ = true;
    return stopped_;
}

bool SignalWatch::sleepFor(int ms) {
    if (stopRequested()) return true;
    pollfd p{fd_, POLLIN, 0};
    poll(&p, 1, ms);
    return stopRequested();
}
