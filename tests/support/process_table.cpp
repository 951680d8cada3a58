#include "process_table.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "wait.h"

namespace testsupport {

namespace {
std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
}  // namespace

std::optional<ProcessInfo> readProcess(pid_t pid) {
    const std::string base = "/proc/" + std::to_string(pid);
    // comm may hold blanks and parentheses: the fields follow the last ')'.
    const std::string stat = slurp(base + "/stat");
    const size_t open = stat.find('(');
    const size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) return std::nullopt;
    ProcessInfo p;
    p.pid = pid;
    p.name = stat.substr(open + 1, close - open - 1);
    std::istringstream fields(stat.substr(close + 1));
    std::vector<std::string> f{std::istream_iterator<std::string>(fields), {}};
    if (f.size() < 13) return std::nullopt;
    p.state = f[0][0];
    p.ppid = static_cast<pid_t>(std::stol(f[1]));
    p.cpuSeconds = static_cast<double>(std::stoul(f[11]) + std::stoul(f[12])) /
                   static_cast<double>(sysconf(_SC_CLK_TCK));
    std::istringstream cmdline(slurp(base + "/cmdline"));
    for (std::string arg; std::getline(cmdline, arg, '\0');)
        p.argv.push_back(arg);
    std::error_code ec;
    p.exe = std::filesystem::read_symlink(base + "/exe", ec).string();
    std::istringstream status(slurp(base + "/status"));
    for (std::string key; status >> key;) {
        if (key == "VmRSS:") status >> p.rssKb;
        if (key == "VmHWM:") status >> p.peakRssKb;
    }
    const std::filesystem::directory_iterator fds(base + "/fd", ec);
    p.openFiles = std::distance(fds, {});
    return p;
}

namespace {
// A zombie has no executable left, only its name.
bool runs(const ProcessInfo& p, const std::string& program) {
    if (program.find('/') == std::string::npos) return p.name == program;
    if (p.state == 'Z') return p.name == std::filesystem::path(program).filename().string().substr(0, 15);
    return p.exe == program;
}
}  // namespace

std::vector<ProcessInfo> processesOf(const std::string& program) {
    std::vector<ProcessInfo> out;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::optional<ProcessInfo> p = readProcess(static_cast<pid_t>(std::stol(name)));
        if (p && runs(*p, program)) out.push_back(*p);
    }
    return out;
}

size_t liveCount(const std::string& program) {
    size_t live = 0;
    for (const ProcessInfo& p : processesOf(program))
        live += p.state != 'Z';
    return live;
}

std::optional<ProcessInfo> waitObservable(pid_t pid, const std::string& program,
                                          std::chrono::milliseconds timeout) {
    std::optional<ProcessInfo> seen;
    const auto observable = [&] {
        return seen && seen->state != 'Z' && runs(*seen, program) && !seen->argv.empty();
    };
    waitFor(
        [&] {
            seen = readProcess(pid);
            return !seen || seen->state == 'Z' || observable();
        },
        timeout);
    return observable() ? seen : std::nullopt;
}

}  // namespace testsupport
