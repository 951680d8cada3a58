#pragma once

// What the tests of the application share beyond tests/support: waiting with a
// running Qt event loop, the application's "Sonvale: " log lines, avahi-daemon,
// stand-in engines for the engine controller.

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "engine_controller.h"
#include "paths.h"
#include "qt_wait.h"
#include "sound_server.h"

inline void PrintTo(const EngineState& state, std::ostream* os) {
    *os << state.debugText().toStdString();
}

namespace servicestest {

using namespace std::chrono_literals;
using testsupport::shell;
using testsupport::shellQuote;

inline constexpr auto waitUntil = [](auto done, std::chrono::milliseconds timeout = 20s) {
    return testsupport::pumpUntil(done, timeout);
};

inline void spin(std::chrono::milliseconds duration) {
    QTest::qWait(static_cast<int>(duration.count()));
}

// The lines of a file that start with prefix.
inline std::vector<std::string> fileLines(const std::string& path, const std::string& prefix = "") {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
    return out;
}

// Sends standard error to a file while it lives, so that the application's
// "Sonvale: " lines can be read; the text goes back to standard error at the end.
class LogCapture {
public:
    LogCapture() : saved_(::dup(STDERR_FILENO)) {
        std::fflush(stderr);
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~LogCapture() {
        const std::string all = text();
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        std::fputs(all.c_str(), stderr);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const {
        std::fflush(stderr);
        std::ifstream in(path_);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::vector<std::string> lines() const {
        std::fflush(stderr);
        return fileLines(path_, "Sonvale: ");
    }

private:
    QTemporaryDir dir_;
    std::string path_ = dir_.path().toStdString() + "/stderr";
    int saved_;
};

// avahi-daemon and a D-Bus system bus inside the test's sandbox.
class AvahiDaemon {
public:
    ~AvahiDaemon() { stop(); }
    bool start() {
        return shell(script("start-avahi.sh") + " " + shellQuote(dir_.path().toStdString())).has_value();
    }
    void stop() { shell(script("stop-avahi.sh")); }
    static std::string script(const char* name) {
        return shellQuote(testsupport::sourceDir() + "/scripts/test-services/" + name);
    }

private:
    QTemporaryDir dir_;
};

// A resource folder with a stand-in "sonvale-engine" shell script (or none: the
// engine is missing). Every stand-in records SIGTERM in <dir>/terms and exits 0,
// and once it can do so appends "<pid> <arguments>" to <dir>/launches.
class StandInEngine {
public:
    // Runs until SIGTERM; prints on both streams.
    static constexpr char kRunUntilTerm[] =
        "echo some output; echo some error >&2\n"
        "sleep 60 & child=$!\n"
        "wait $child\n";

    void write(const std::string& body, bool executable = true) {
        const std::string file = path(EngineController::kEngineName);
        std::ofstream(file) << "#!/bin/sh\nD=" << shellQuote(tmp_.path().toStdString())
                            << "\ntrap 'echo TERM >> \"$D/terms\"; kill $child 2>/dev/null; exit 0' TERM"
                            << "\necho \"$$ $*\" >> \"$D/launches\"\n"
                            << body;
        QFile::setPermissions(
            QString::fromStdString(file),
            QFile::ReadOwner | QFile::WriteOwner | (executable ? QFile::ExeOwner : QFile::ReadOwner));
    }
    std::string path(const char* name) const { return tmp_.path().toStdString() + "/" + name; }
    std::vector<std::string> lines(const char* name) const { return fileLines(path(name)); }
    size_t launches() const { return lines("launches").size(); }
    size_t terms() const { return lines("terms").size(); }
    EngineController::Options options(std::chrono::milliseconds backoff = 50ms) const {
        EngineController::Options o;
        o.engineDirectory = tmp_.path();
        o.restartBackoff = backoff;
        return o;
    }

private:
    QTemporaryDir tmp_;
};

}  // namespace servicestest
