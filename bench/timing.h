#pragma once

#include <sys/types.h>

#include <cstdint>

// Clocks the benchmarks read, all in nanoseconds.
namespace timing {

int64_t now();
// CPU time of the calling thread.
int64_t threadCpu();
// CPU time of another process (user + system, as precise as the scheduler's
// own accounting); -1 when it cannot be read.
int64_t processCpu(pid_t pid);
// Sleeps until the monotonic time `at` (from now()).
void sleepUntil(int64_t at);
void sleepFor(int64_t ns);
// Lets timed sleeps end within a microsecond instead of the default 50.
void tightenTimerSlack();

}  // namespace timing
