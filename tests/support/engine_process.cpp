#include "engine_process.h"

#include <signal.h>

#include <cstdlib>
#include <sstream>
#include <thread>

#include "paths.h"
#include "sonvale_protocol.h"

namespace testsupport {

using namespace std::chrono_literals;

namespace {
std::vector<std::string> wrapperWords() {
    std::vector<std::string> words;
    const char* text = std::getenv("SONVALE_ENGINE_WRAPPER");
    std::istringstream in(text != nullptr ? text : "");
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}
}  // namespace

bool EngineProcess::wrapped() {
    return !wrapperWords().empty();
}

EngineProcess::EngineProcess(const std::vector<std::string>& args) {
    std::vector<std::string> words = wrapperWords();
    words.push_back(enginePath());
    words.insert(words.end(), args.begin(), args.end());
    const std::string program = words.front();
    words.erase(words.begin());
    process_ = std::make_unique<ChildProcess>(program, words);
}

bool EngineProcess::waitReady(std::chrono::milliseconds timeout) {
    return process_->started() &&
           process_->waitForLine("[engine] Pipeline ready. Entering main loop.", timeout);
}

std::optional<int> EngineProcess::stop(std::chrono::milliseconds timeout) {
    process_->signal(SIGTERM);
    return process_->waitForExit(timeout);
}

std::optional<ControlClient> ControlClient::pair(const std::string& pin, const char* from) {
    ControlClient c;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!c.tcp_.connect(sonvale::kControlPort, "127.0.0.1", from)) {
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
    if (!c.tcp_.send("{\"t\":\"hello\",\"pin\":\"" + pin + "\"}\n")) return std::nullopt;
    if (c.tcp_.readLine(20s) != "{\"t\":\"hello_ok\"}") return std::nullopt;
    return c;
}

bool ControlClient::ping() {
    return tcp_.send("{\"t\":\"ping\"}\n") && tcp_.readLine(20s) == "{\"t\":\"ping\"}";
}

}  // namespace testsupport
