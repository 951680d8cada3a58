// The process table as /proc shows it (inside the sandbox: only the test's own
// PID namespace).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct ProcessInfo {
    pid_t pid = 0;
    pid_t ppid = 0;
    char state = '?';               // 'R', 'S', 'Z' (zombie), ...
    std::string name;               // comm: the executable's base name, at most 15 bytes
    std::string exe;                // the executable's path; empty for zombies and while unreadable
    std::vector<std::string> argv;  // empty for zombies and while still inside execve
    double cpuSeconds = 0;
    long rssKb = 0;
    long peakRssKb = 0;
    long openFiles = 0;  // descriptors
};

// One process; nullopt when it does not exist (any more).
std::optional<ProcessInfo> readProcess(pid_t pid);
// Processes whose executable path equals program (a path) or whose name equals
// it (no slash), zombies included: check state to tell them apart.
std::vector<ProcessInfo> processesOf(const std::string& program);
// How many of those are alive (zombies left out).
size_t liveCount(const std::string& program);
// Waits until the process runs program (matched as in processesOf) with its
// argv in place: a child just forked still shows its parent, and one inside
// execve shows an empty argv. nullopt when it vanished or timeout passed.
std::optional<ProcessInfo> waitObservable(pid_t pid, const std::string& program,
                                          std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace testsupport
