#include "engine_process.h"

#include <signal.h>

#include <cstdlib>
#include <sstream>

#include "paths.h"
#include "sonvale_protocol.h"
#include "wait.h"

namespace testsupport {

EngineProcess::EngineProcess(const std::vector<std::string>& args) {
    const char* wrapper = std::getenv("SONVALE_ENGINE_WRAPPER");
    std::istringstream in(wrapper != nullptr ? wrapper : "");
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    words.push_back(enginePath());
    words.insert(words.end(), args.begin(), args.end());
    process_ = std::make_unique<ChildProcess>(words.front(), std::vector(words.begin() + 1, words.end()));
}

bool EngineProcess::waitReady(std::chrono::milliseconds timeout) {
    return process_->waitForLine("[engine] Pipeline ready. Entering main loop.", timeout);
}

std::optional<int> EngineProcess::stop(std::chrono::milliseconds timeout) {
    process_->signal(SIGTERM);
    return process_->waitForExit(timeout);
}

std::optional<ControlClient> ControlClient::pair(const std::string& pin, const char* from) {
    ControlClient c;
    if (!waitFor([&] { return c.tcp_.connect(sonvale::kControlPort, "127.0.0.1", from); }) ||
        !c.tcp_.send("{\"t\":\"hello\",\"pin\":\"" + pin + "\"}\n") ||
        c.tcp_.readLine(20s) != "{\"t\":\"hello_ok\"}")
        return std::nullopt;
    return c;
}

bool ControlClient::ping() {
    return tcp_.send("{\"t\":\"ping\"}\n") && tcp_.readLine(20s) == "{\"t\":\"ping\"}";
}

}  // namespace testsupport
