// Journey 4 in the three engines phones use (Chromium, Firefox ESR, WebKitGTK):
// the browser opens the gateway's link, taps Start and streams from its fake
// microphone; a recording program hears that microphone's tone at its level on
// the "Tarnwell" microphone, without a dropout; Stop ends it. Journey 7 in
// Chromium: a phone paired at one launch of Tarnwell streams from the bare link
// at the next, until Tarnwell forgets it. tests/web/phone.mjs plays the phone,
// judges what its page shows and says what it does; this side listens.
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <iostream>
#include <ostream>
#include <sstream>

#include "gateway_process.h"
#include "loopback_client.h"
#include "mic_fixture.h"
#include "paths.h"

namespace mictest {
namespace {

constexpr size_t kRate = 48000;
const std::string kPin = "4711";

// An engine and the tone its fake microphone plays.
struct Engine {
    std::string name;
    double hz;
    double peak;
};

// Names the engine in gtest's and ctest's test names, rather than its bytes.
void PrintTo(const Engine& engine, std::ostream* out) {
    *out << engine.name;
}

// The tone from a second after its onset on, at its frequency and, unless only
// its presence is asked, at its level and with no gap.
void expectHeard(const Engine& e, const std::vector<float>& x, const std::string& name, size_t mark,
                 bool presence = false) {
    const auto onset = testsupport::firstLoudFrame(x, 0, mark, static_cast<float>(e.peak / 4));
    ASSERT_TRUE(onset) << name << ": nothing heard";
    const size_t from = *onset + kRate, end = x.size() / 2;
    ASSERT_GT(end, from + 2 * kRate) << name << ": the tone came late";
    // The middle of three quarter seconds, a second apart: one concealed
    // chunk may bend the one it falls in.
    std::vector<testsupport::Tone> tones;
    for (size_t at = from; at <= from + 2 * kRate; at += kRate)
        tones.push_back(testsupport::strongestNear(x, 0, at, kRate / 4, e.hz));
    std::sort(tones.begin(), tones.end(), [](const auto& a, const auto& b) { return a.hz < b.hz; });
    const testsupport::Tone tone = tones[1];
    std::printf("%s: %.1f Hz at %.1f dBFS RMS\n", name.c_str(), tone.hz, 20 * std::log10(tone.rms));
    EXPECT_NEAR(tone.hz, e.hz, e.hz * 0.015) << name;
    if (presence) return;
    EXPECT_NEAR(20 * std::log10(tone.rms / (e.peak / std::sqrt(2.0))), 0.0, 1.5) << name;
    // A browser sharing two cores with the whole chain may lose a chunk or
    // two (concealed, not silent); a dropout a listener would call a gap is a fault.
    const auto gap = testsupport::longestQuiet(x, 0, from, end, static_cast<float>(e.peak / 4));
    EXPECT_LT(gap.length, kRate / 5) << name << ": a gap of " << gap.length * 1000 / kRate << " ms ending "
                                     << (gap.end - *onset) * 1000 / kRate << " ms after the onset";
}

// Runs the phone (tests/web/phone.mjs with args after the script) and hands each
// line that it prints to heed, as its first two words, until it is done.
void walk(std::vector<std::string> args,
          const std::function<void(const std::string&, const std::string&)>& heed) {
    args.insert(args.begin(), testsupport::sourceDir() + "/tests/web/phone.mjs");
    ChildProcess phone("node", args);
    size_t seen = 0;
    for (std::string word, name; word != "done";) {
        std::string line;
        const bool more = testsupport::waitFor(
            [&] {
                const auto lines = phone.outLines();
                if (lines.size() > seen) line = lines[seen++];
                return !line.empty() || phone.waitForExit(0ms).has_value();
            },
            180s);
        ASSERT_TRUE(more && !line.empty()) << "the phone went quiet\n" << phone.out() << phone.err();
        std::cout << line << std::endl;
        std::istringstream(line) >> word >> name;
        if (word == "failed") ADD_FAILURE() << line;
        heed(word, name);
    }
    EXPECT_TRUE(phone.waitForExit(60s)) << phone.err();
}

// Chromium's microphone: 44.1 kHz, one second, a whole number of cycles, peak 0.5.
std::string chromiumTone(const std::string& shots) {
    const std::string wav = shots + "/tone-1khz.wav";
    std::filesystem::create_directories(shots);
    ChildProcess sox(
        "sox", {"-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth", "1", "sine", "1000", "vol", "0.5"});
    EXPECT_EQ(sox.waitForExit(30s), 0);
    return wav;
}

class BrowserJourney : public MicTest, public ::testing::WithParamInterface<Engine> {
protected:
    void SetUp() override {
        setenv("XDG_DATA_HOME", dataHome.path().toLocal8Bit().constData(), 1);
        startServer();
        // Larger buffers than a desktop needs: the browser takes both cores.
        startMic({"--target", "200", "--latency", "200"});
        startEngine(testsupport::EngineProcess::withPin(kPin));
        gateway = testsupport::startGateway(kPin);
        ASSERT_TRUE(gateway) << "the gateway did not start";
        recorder = std::make_unique<Recorder>(recording());
        ASSERT_TRUE(recorder->waitForFrames(4800));
    }
    std::string recording() const { return server->dir() + "/recording.raw"; }
    // Frames recorded so far, without reading them.
    size_t recorded() const { return std::filesystem::file_size(recording()) / 8; }

    // Stop ends it: a second later the microphone is quiet.
    void expectQuietAfterStop(const std::string& name) {
        const size_t stop = recorded();
        ASSERT_TRUE(testsupport::waitFor([&] { return recorded() >= stop + 2 * kRate; }, 30s));
        EXPECT_LT(testsupport::rms(recorder->samples(), 0, stop + kRate, kRate), GetParam().peak / 20)
            << name << ": still heard after Stop";
    }

    QTemporaryDir dataHome;  // the gateway's certificate, which the refusing front also serves
    std::unique_ptr<ChildProcess> gateway;
    std::unique_ptr<Recorder> recorder;
};

TEST_P(BrowserJourney, RecordingProgramHearsThePhoneUntilStop) {
    const std::string shots = testsupport::buildDir() + "/test-artefacts/web";
    const std::string wav = chromiumTone(shots);
    size_t mark = 0;
    walk({GetParam().name, kPin, shots, dataHome.path().toStdString(), wav},
         [&](const std::string& word, const std::string& name) {
             if (word == "streaming") mark = recorded();
             if (word == "heard") expectHeard(GetParam(), recorder->samples(), name, mark);
             if (word == "stopped") expectQuietAfterStop(name);
         });
    std::cout << gateway->err();  // how each stream's playout went: datagrams, concealed, dropped
}

// Chromium plays our WAV; Firefox's fake microphone is a 1 kHz sine at peak
// 0.1; WebKit's mock microphone hums at 150 Hz, peak 0.1, under a 3 kHz tone
// at half that and a beep each second.
INSTANTIATE_TEST_SUITE_P(Engines, BrowserJourney,
                         ::testing::Values(Engine{"chromium", 1000, 0.5}, Engine{"firefox", 1000, 0.1},
                                           Engine{"webkit", 150, 0.1}),
                         [](const auto& p) { return p.param.name; });

// Journey 7: Tarnwell without a screen (the simplest real whole: engine, gateway,
// advertisement), launched twice, each time with a new PIN, over one browser
// profile. The microphone is the user's own, with a browser's larger buffers,
// which Tarnwell leaves running.
TEST_F(MicTest, ReturningPhoneStreamsFromTheBareLinkAfterARestartUntilForgotten) {
    startServer();
    startMic({"--target", "200", "--latency", "200"});
    const std::string home = server->dir() + "/home", shots = testsupport::buildDir() + "/test-artefacts/web";
    for (const char* name : {"HOME", "XDG_DATA_HOME"})
        ::setenv(name, home.c_str(), 1);
    const std::string wav = chromiumTone(shots), tarnwellPath = testsupport::buildDir() + "/bin/Tarnwell";
    Recorder recorder(server->dir() + "/recording.raw");
    ASSERT_TRUE(recorder.waitForFrames(4800));
    size_t mark = 0;
    // The first launch: the phone pairs with the PIN ("websocket"); the second:
    // it returns, never told the new PIN.
    for (const std::string step : {"websocket", "return"}) {
        ChildProcess tarnwell(tarnwellPath, {"--headless"});
        ASSERT_TRUE(waitForOutput(tarnwell, "microphone ready")) << tarnwell.err();
        ASSERT_TRUE(testsupport::TcpClient().connectWithin(sonvale::kWebPort, 30s));
        const std::string out = tarnwell.out(), pin = out.substr(out.find("PIN: ") + 5, 4);
        walk({"chromium", step == "return" ? "-" : pin, shots, home, wav, step, home + "/profile"},
             [&](const std::string& word, const std::string& name) {
                 if (word == "streaming") mark = recorder.samples().size() / 2;
                 if (word != "heard" || name != "return") return;
                 // Its level and continuity are journey 4's to judge.
                 expectHeard({"chromium", 1000, 0.5}, recorder.samples(), name, mark, true);
                 EXPECT_EQ(ChildProcess(tarnwellPath, {"--forget-phones"}).waitForExit(30s), 0);
             });
        tarnwell.signal(SIGINT);
        EXPECT_EQ(tarnwell.waitForExit(30s), 0) << tarnwell.err();
    }
}

}  // namespace
}  // namespace mictest
