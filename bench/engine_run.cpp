#include "engine_run.h"

#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "timing.h"

using namespace std::chrono_literals;

namespace {

double seconds(const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

}  // namespace

bool EngineRun::start(const std::string& enginePath, const std::string& pin, int clients,
                      std::string& error) {
    std::vector<std::string> args;
    if (!pin.empty()) args = {"--pin", pin};
    process_ = std::make_unique<devkit::ChildProcess>(enginePath, args, std::string());
    // The control port listens once the audio port is bound and the ring exists.
    devkit::TcpClient probe;
    if (process_->pid() <= 0 || !probe.connectWithin(kControlPort, 10s)) {
        process_->waitForExit(1s);
        error = "the engine did not start: " + process_->out() + process_->err();
        return false;
    }
    if (!ring_.open(svring::Ring::Access::look)) {
        error = "the engine's ring cannot be opened";
        return false;
    }
    // The probe is the first client: every connection takes one of the 8 slots.
    for (int c = 0; c < clients; ++c) {
        devkit::TcpClient client = c == 0 ? std::move(probe) : devkit::TcpClient();
        if ((client.fd() < 0 && !client.connectWithin(kControlPort, 5s)) ||
            !client.send("{\"t\":\"hello\",\"pin\":\"" + pin + "\"}\n") ||
            client.readLine(5s) != "{\"t\":\"hello_ok\"}") {
            error = "control connection " + std::to_string(c + 1) + " was not admitted";
            return false;
        }
        clients_.push_back(std::move(client));
    }
    return true;
}

uint64_t EngineRun::writeIndex() const {
    return ring_.writeIndex();
}

int64_t EngineRun::cpuNs() const {
    return timing::processCpu(pid());
}

long EngineRun::peakRssKb() const {
    return peakRssKbOf(std::to_string(pid()));
}

long EngineRun::wakeups() const {
    return procStatusField(std::to_string(pid()), "voluntary_ctxt_switches");
}

std::optional<EngineRun::Exit> EngineRun::stop() {
    if (!process_) return std::nullopt;
    clients_.clear();
    rusage before{};
    getrusage(RUSAGE_CHILDREN, &before);
    process_->signal(SIGTERM);
    const std::optional<int> status = process_->waitForExit(5s);
    if (!status) return std::nullopt;
    rusage after{};
    getrusage(RUSAGE_CHILDREN, &after);
    Exit exit;
    exit.status = *status;
    exit.cpuSeconds = seconds(after.ru_utime) + seconds(after.ru_stime) - seconds(before.ru_utime) -
                      seconds(before.ru_stime);
    return exit;
}

long udpReceiveBufferErrors() {
    std::ifstream in("/proc/net/snmp");
    std::string names;
    std::string values;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Udp: ", 0) != 0) continue;
        if (names.empty()) {
            names = line;
        } else {
            values = line;
            break;
        }
    }
    std::istringstream n(names);
    std::istringstream v(values);
    std::string name;
    std::string value;
    while (n >> name && v >> value) {
        if (name == "RcvbufErrors") return std::stol(value);
    }
    return -1;
}

long procStatusField(const std::string& task, const std::string& field) {
    std::ifstream in("/proc/" + task + "/status");
    const std::string key = field + ":";
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
    }
    return -1;
}
