#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "loopback_client.h"
#include "sonvale_protocol.h"
#include "subprocess.h"
#include "sv_ring.hpp"

// One run of the real engine: the process, the ring it writes (watched through
// a look-only view) and the control connections that admit audio.
// Must run where the fixed ports and the ring name are private (scripts/sandbox.sh).
class EngineRun {
public:
    static constexpr uint16_t kAudioPort = sonvale::kAudioPort;
    static constexpr uint16_t kControlPort = sonvale::kControlPort;

    EngineRun() = default;
    EngineRun(const EngineRun&) = delete;
    EngineRun& operator=(const EngineRun&) = delete;

    // Starts the engine (with "--pin" pin when pin is not empty), waits for it to
    // enter its loop, attaches to the ring and opens `clients` connections that
    // pass the hello and then stay silent. False with error filled otherwise.
    bool start(const std::string& enginePath, const std::string& pin, int clients, std::string& error);

    uint64_t writeIndex() const;

    pid_t pid() const { return process_ ? process_->pid() : -1; }
    // The engine's CPU time so far, in nanoseconds.
    int64_t cpuNs() const;
    // Peak resident set (VmHWM) in kB; -1 when unknown.
    long peakRssKb() const;
    // How often the engine has gone to sleep so far (voluntary context switches).
    long wakeups() const;

    struct Exit {
        int status = -1;
        double cpuSeconds = 0;  // user + system from getrusage of the reaped child
    };
    // SIGTERM, then waits for the exit and takes the child's resource usage.
    std::optional<Exit> stop();

private:
    std::unique_ptr<devkit::ChildProcess> process_;
    std::vector<devkit::TcpClient> clients_;
    svring::Ring ring_;
};

// Packets the kernel dropped at UDP sockets for want of buffer space so far
// (RcvbufErrors of /proc/net/snmp, for this network namespace); -1 if unknown.
long udpReceiveBufferErrors();

// A number field of /proc/<task>/status ("VmHWM", "voluntary_ctxt_switches"), -1
// when unknown. task: a process id, "self" or "self/task/<tid>".
long procStatusField(const std::string& task, const std::string& field);
inline long peakRssKbOf(const std::string& task) {
    return procStatusField(task, "VmHWM");
}
