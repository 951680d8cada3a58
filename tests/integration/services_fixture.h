#pragma once

// Helpers for the tests of app/services: waiting with a running event loop,
// capturing the application's log, running commands, and the real servers the
// tests talk to (avahi-daemon, PulseAudio), started by scripts/test-services.

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine_state.h"
#include "paths.h"

inline void PrintTo(const EngineState& state, std::ostream* os) {
    *os << state.debugText().toStdString();
}

namespace servicestest {

using namespace std::chrono_literals;

// Runs the event loop until done() holds or timeout passes; returns done().
template <class Predicate>
bool waitUntil(Predicate done, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        QTest::qWait(5);
    }
    return true;
}

// Runs the event loop for a while.
inline void spin(std::chrono::milliseconds duration) {
    QTest::qWait(static_cast<int>(duration.count()));
}

inline std::string scriptPath(const std::string& name) {
    return testsupport::sourceDir() + "/scripts/test-services/" + name;
}

struct CommandResult {
    int status = -1;  // exit status; -1 when it did not finish or crashed
    std::string out;
    std::string err;
};

// Runs a shell command (no event loop needed); bounded by timeout.
inline CommandResult run(const std::string& command, std::chrono::milliseconds timeout = 30s) {
    QProcess p;
    p.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QString::fromStdString(command)});
    CommandResult r;
    if (!p.waitForFinished(static_cast<int>(timeout.count()))) {
        p.kill();
        p.waitForFinished();
    } else if (p.exitStatus() == QProcess::NormalExit) {
        r.status = p.exitCode();
    }
    r.out = p.readAllStandardOutput().toStdString();
    r.err = p.readAllStandardError().toStdString();
    return r;
}

inline std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Captures standard error while it lives and copies it back afterwards, so the
// application's "Sonvale: " lines can be checked and still show in test output.
class LogCapture {
public:
    LogCapture() {
        std::fflush(stderr);
        file_ = std::tmpfile();
        saved_ = ::dup(STDERR_FILENO);
        ::dup2(::fileno(file_), STDERR_FILENO);
    }
    ~LogCapture() {
        const std::string all = text();
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        std::fclose(file_);
        if (!all.empty()) std::fputs(all.c_str(), stderr);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const {
        std::fflush(stderr);
        std::string out;
        char buffer[4096];
        const off_t end = ::lseek(::fileno(file_), 0, SEEK_END);
        for (off_t at = 0; at < end;) {
            const ssize_t n = ::pread(::fileno(file_), buffer, sizeof buffer, at);
            if (n <= 0) break;
            out.append(buffer, static_cast<size_t>(n));
            at += n;
        }
        return out;
    }

    // The lines that start with "Sonvale: ", in order.
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::istringstream in(text());
        for (std::string line; std::getline(in, line);)
            if (line.rfind("Sonvale: ", 0) == 0) out.push_back(line);
        return out;
    }

private:
    std::FILE* file_ = nullptr;
    int saved_ = -1;
};

// A private PulseAudio server with a null sink "test_sink" as the default output;
// this process talks to it from construction on (Qt reads the variables when it
// first connects).
class PulseServer {
public:
    PulseServer() {
        started_ = run(scriptPath("start-pulse.sh") + " " + shellQuote(dir())).status == 0;
        const QString d = QString::fromStdString(dir());
        qputenv("XDG_RUNTIME_DIR", (d + QStringLiteral("/xdg")).toUtf8());
        qputenv("PULSE_SERVER", (QStringLiteral("unix:") + d + QStringLiteral("/native")).toUtf8());
        qputenv("PULSE_COOKIE", (d + QStringLiteral("/cookie")).toUtf8());
    }
    ~PulseServer() { run(scriptPath("stop-pulse.sh") + " " + shellQuote(dir())); }
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    bool started() const { return started_; }
    std::string dir() const { return tmp_.path().toStdString(); }
    // Runs a command with this server's environment.
    CommandResult command(const std::string& cmd, std::chrono::milliseconds timeout = 30s) const {
        return run(". " + shellQuote(dir() + "/env") + " && " + cmd, timeout);
    }

private:
    QTemporaryDir tmp_;
    bool started_ = false;
};

// avahi-daemon (and a D-Bus system bus) inside the test's sandbox.
class AvahiDaemon {
public:
    bool start() {
        return run(scriptPath("start-avahi.sh") + " " + shellQuote(dir_.path().toStdString())).status == 0;
    }
    void stop() { run(scriptPath("stop-avahi.sh")); }
    ~AvahiDaemon() { stop(); }

private:
    QTemporaryDir dir_;
};

// Counts live processes (not zombies) whose first argument is program, and
// zombies among this process's children.
struct ProcessCount {
    int live = 0;
    int zombies = 0;
};
inline ProcessCount countProcesses(const std::string& program) {
    ProcessCount count;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool numeric = false;
        entry.toInt(&numeric);
        if (!numeric) continue;
        const std::string base = "/proc/" + entry.toStdString();
        std::ifstream statFile(base + "/stat");
        std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
        const size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 2 >= stat.size()) continue;
        const char state = stat[close + 2];
        std::istringstream rest(stat.substr(close + 4));
        int ppid = 0;
        rest >> ppid;
        if (state == 'Z') {
            if (ppid == ::getpid()) ++count.zombies;
            continue;
        }
        std::ifstream cmdline(base + "/cmdline");
        std::string argv0;
        std::getline(cmdline, argv0, '\0');
        if (argv0 == program) ++count.live;
    }
    return count;
}

}  // namespace servicestest
