#include "realtime.h"

#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {
// PulseAudio's and PipeWire's own threads run at 5 and above.
constexpr int kPriority = 4;
// A real-time thread that runs this long without blocking gets SIGXCPU (soft)
// and SIGKILL (hard); the bridge blocks every few milliseconds.
constexpr rlim_t kSoftCpuLimitUs = 200000;
constexpr rlim_t kHardCpuLimitUs = 400000;
}  // namespace

std::string raiseToRealtime() {
    rlimit limit{kSoftCpuLimitUs, kHardCpuLimitUs};
    rlimit current{};
    if (getrlimit(RLIMIT_RTTIME, &current) == 0 && current.rlim_max != RLIM_INFINITY &&
        current.rlim_max < kHardCpuLimitUs) {
        limit = {std::min(kSoftCpuLimitUs, current.rlim_max), current.rlim_max};
    }
    if (setrlimit(RLIMIT_RTTIME, &limit) != 0) return "normal priority (no real-time CPU limit could be set)";
    sched_param param{};
    param.sched_priority = kPriority;
    if (sched_setscheduler(0, SCHED_RR | SCHED_RESET_ON_FORK, &param) != 0) {
        return std::string("normal priority (real-time scheduling not permitted: ") + std::strerror(errno) +
               ")";
    }
    return "real-time priority " + std::to_string(kPriority);
}
