#include "sound_server.h"

#include <stdlib.h>

#include <cstdio>
#include <sstream>

#include "paths.h"

namespace testsupport {

std::optional<std::string> shell(const std::string& command) {
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return std::nullopt;
    std::string out;
    char buf[4096];
    for (size_t n = 0; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    if (pclose(p) != 0) return std::nullopt;
    return out;
}

std::string shellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

namespace {
std::string script(const std::string& name) {
    return shellQuote(sourceDir() + "/scripts/test-sound/" + name);
}
}  // namespace

SoundServer::SoundServer(Kind kind) : kind_(kind) {
    char pattern[] = "/tmp/sonvale-sound.XXXXXX";
    if (mkdtemp(pattern) != nullptr) dir_ = pattern;
}

SoundServer::~SoundServer() {
    stop();
    if (!dir_.empty()) shell("rm -rf " + shellQuote(dir_));
}

bool SoundServer::start() {
    if (dir_.empty()) return false;
    const char* name = kind_ == Kind::pulseaudio ? "start-pulseaudio.sh" : "start-pipewire.sh";
    const std::optional<std::string> env = shell(script(name) + " " + shellQuote(dir_));
    if (!env) return false;
    std::istringstream lines(*env);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
    }
    return true;
}

void SoundServer::stop() {
    if (!dir_.empty()) shell(script("stop.sh") + " " + shellQuote(dir_));
}

bool SoundServer::restart() {
    shell(script("stop.sh") + " " + shellQuote(dir_) + " keepalive pulseaudio");
    return start();
}

std::string SoundServer::pactl(const std::string& args) const {
    return shell("pactl " + args + " 2>&1").value_or("");
}

std::optional<std::string> SoundServer::sourceDescription(const std::string& name) const {
    std::istringstream in(pactl("list sources"));
    bool inBlock = false;
    for (std::string line; std::getline(in, line);) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos) continue;
        const std::string text = line.substr(start);
        if (text.rfind("Name: ", 0) == 0) inBlock = text.substr(6) == name;
        if (inBlock && text.rfind("Description: ", 0) == 0) return text.substr(13);
    }
    return std::nullopt;
}

std::string SoundServer::log() const {
    return shell("tail -n 30 " + shellQuote(dir_) + "/*.log 2>&1").value_or("");
}

}  // namespace testsupport
