#include "subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <thread>

namespace devkit {

namespace {
// Polls done() every 2 ms until it holds or timeout passes.
template <class Predicate>
void waitFor(Predicate done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}
}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::optional<std::string>& input)
    : outFd_(memfd_create("stdout", MFD_CLOEXEC)), errFd_(memfd_create("stderr", MFD_CLOEXEC)) {
    if (outFd_ < 0 || errFd_ < 0) return;
    int in[2] = {-1, -1};
    if (input && pipe2(in, O_CLOEXEC) != 0) return;
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        if (input) dup2(in[0], 0);
        dup2(outFd_, 1);
        dup2(errFd_, 2);
        execvp(program.c_str(), argv.data());
        _exit(127);
    }
    if (!input) return;
    // Fits the pipe, and the read end is still open here: never blocks, never
    // SIGPIPE, whatever the child does.
    [[maybe_unused]] const ssize_t written = write(in[1], input->data(), input->size());
    close(in[0]);
    close(in[1]);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {outFd_, errFd_}) {
        if (fd >= 0) close(fd);
    }
}

// The child appends through its own offset; reading with pread leaves it alone.
const std::string& ChildProcess::collect(int fd, std::string& text) {
    char buf[4096];
    for (ssize_t n; fd >= 0 && (n = pread(fd, buf, sizeof buf, static_cast<off_t>(text.size()))) > 0;)
        text.append(buf, static_cast<size_t>(n));
    return text;
}

std::vector<std::string> ChildProcess::outLines() {
    std::vector<std::string> lines;
    std::istringstream in(out());
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool ChildProcess::ended() {
    int raw = 0;
    if (!status_ && pid_ > 0 && waitpid(pid_, &raw, WNOHANG) == pid_)
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return status_.has_value();
}

bool ChildProcess::waitForLine(const std::string& text, std::chrono::milliseconds timeout) {
    const auto seen = [&] { return ("\n" + out()).find("\n" + text + "\n") != std::string::npos; };
    waitFor([&] { return !started() || ended() || seen(); }, timeout);
    return seen();
}

void ChildProcess::signal(int sig) {
    if (pid_ > 0 && !status_) kill(pid_, sig);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
    if (started()) waitFor([&] { return ended(); }, timeout);
    return status_;
}

}  // namespace devkit
