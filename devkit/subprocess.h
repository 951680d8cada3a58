#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace devkit {

// A program started by a test or a benchmark, its standard output and error captured in
// memory files (a child never blocks on a full pipe, and output stays readable
// after it ended). With input, its standard input is a pipe that carries input
// (at most a pipe's capacity, 64 KiB), then ends; without, it shares the caller's.
// The destructor kills and reaps it if it still runs.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::optional<std::string>& input = std::nullopt);
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

    // Everything written so far.
    const std::string& out() { return collect(outFd_, out_); }
    const std::string& err() { return collect(errFd_, err_); }
    std::vector<std::string> outLines();

private:
    static const std::string& collect(int fd, std::string& text);
    bool ended();

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
    std::optional<int> status_;
};

}  // namespace devkit
