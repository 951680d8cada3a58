// The real engine as a child process of the test, and a phone's control link to it.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "net_client.h"

namespace testsupport {

// Starts build/libexec/.../sonvale-engine with the given arguments (under the
// command in SONVALE_ENGINE_WRAPPER, e.g. valgrind, when that is set). The
// destructor kills it if it still runs. Run inside scripts/sandbox.sh: the
// engine's ports and ring name are fixed.
class EngineProcess {
public:
    explicit EngineProcess(const std::vector<std::string>& args = {});
    static std::vector<std::string> withPin(const std::string& pin) { return {"--pin", pin}; }

    // Waits until the engine announced that it entered its main loop; false when
    // it ended or stayed silent for timeout.
    bool waitReady(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Sends SIGTERM and returns the exit status (nullopt: still running after timeout).
    std::optional<int> stop(std::chrono::milliseconds timeout = std::chrono::seconds(30));

    ChildProcess& process() { return *process_; }
    pid_t pid() const { return process_->pid(); }

private:
    std::unique_ptr<ChildProcess> process_;
};

// A phone's control connection: connected, hello sent with the PIN, hello_ok read.
// from picks the local loopback address (the phone's host).
class ControlClient {
public:
    // nullopt when the engine did not answer hello_ok within a few seconds.
    static std::optional<ControlClient> pair(const std::string& pin, const char* from = nullptr);
    // A ping answered with the same line.
    bool ping();

private:
    TcpClient tcp_;
};

}  // namespace testsupport
