#include "timing.h"

#include <sys/prctl.h>
#include <time.h>

namespace timing {

namespace {
int64_t read(clockid_t clock) {
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0) return -1;
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
}  // namespace

int64_t now() {
    return read(CLOCK_MONOTONIC);
}

int64_t threadCpu() {
    return read(CLOCK_THREAD_CPUTIME_ID);
}

int64_t processCpu(pid_t pid) {
    clockid_t clock{};
    if (clock_getcpuclockid(pid, &clock) != 0) return -1;
    return read(clock);
}

void sleepUntil(int64_t at) {
    timespec ts{};
    ts.tv_sec = at / 1000000000;
    ts.tv_nsec = at % 1000000000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
    }
}

void sleepFor(int64_t ns) {
    sleepUntil(now() + ns);
}

void tightenTimerSlack() {
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
}

}  // namespace timing
