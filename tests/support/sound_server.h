// A private sound server for one test: PulseAudio or PipeWire (with its pulse
// protocol), started by scripts/test-sound inside the test's sandbox.
#pragma once

#include <optional>
#include <string>

namespace testsupport {

// Runs a shell command; its standard output, or nullopt when it failed.
std::optional<std::string> shell(const std::string& command);
// Quotes text for a shell command line.
std::string shellQuote(const std::string& text);

// start() runs the server with a null sink as the default output (PulseAudio:
// "test_sink", kept from sleeping in 2 s blocks by a silent stream) and sets
// the client variables (PULSE_SERVER, XDG_RUNTIME_DIR, ...) in this process, so
// libpulse, Qt and every child started afterwards talk to it. The destructor
// stops every process it started and removes its folder.
class SoundServer {
public:
    enum class Kind { pulseaudio, pipewire };
    explicit SoundServer(Kind kind = Kind::pulseaudio);
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    bool start();
    void stop();
    // PulseAudio: stops the server and starts it again on the same socket.
    bool restart();

    // pactl with these arguments; its output (with errors) as text.
    std::string pactl(const std::string& args) const;
    // The description of the source with this name; nullopt when there is none.
    std::optional<std::string> sourceDescription(const std::string& name) const;
    // The server's own log, for failure messages.
    std::string log() const;
    const std::string& dir() const { return dir_; }

private:
    Kind kind_;
    std::string dir_;
};

}  // namespace testsupport
