// The real gateway as the application starts it: the PIN on standard input,
// ready once it says so on standard output. Needs SONVALE_WEB_PATH.
#pragma once

#include <memory>
#include <string>

#include "child_process.h"

namespace testsupport {

inline std::unique_ptr<ChildProcess> startGateway(const std::string& pin) {
    auto gateway = std::make_unique<ChildProcess>(SONVALE_WEB_PATH, std::vector<std::string>{}, pin + "\n");
    if (!gateway->waitForLine(R"({"event":"ready","url":"https://127.0.0.1:47812/#pin=)" + pin + R"("})",
                              std::chrono::seconds(30)))
        return nullptr;
    return gateway;
}

}  // namespace testsupport
