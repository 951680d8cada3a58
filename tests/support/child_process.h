#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// A program started by a test, with its standard output and error captured.
// The destructor kills and reaps it if it still runs.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Waits until standard output holds a line equal to text; returns whether it came.
    bool waitForLine(const std::string& text, std::chrono::milliseconds timeout);
    void signal(int sig);
    // Exit status, or 128 + signal; nullopt when it did not end within timeout.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);

    // Everything captured so far (after waitForExit: everything).
    const std::string& out() {
        pump(0);
        return out_;
    }
    const std::string& err() {
        pump(0);
        return err_;
    }
    std::vector<std::string> outLines();

private:
    void pump(int timeoutMs);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
    std::optional<int> status_;
};

}  // namespace testsupport
