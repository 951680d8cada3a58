// sonvale-phone and sonvale-ring against the real engine, inside the test
// sandbox. Journey 1: a phone pairs and streams a known signal through loss,
// reordering and duplicates, and the ring holds bit for bit what an independent
// receiver makes of the same datagrams.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdlib.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "audio_analysis.h"
#include "engine_process.h"
#include "reference_receiver.h"
#include "sonvale_protocol.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::EngineProcess;

std::optional<double> jsonNumber(const std::string& json, const std::string& key) {
    std::smatch m;
    if (!std::regex_search(json, m, std::regex("\"" + key + "\":(-?[0-9.]+)"))) return std::nullopt;
    return std::stod(m[1]);
}

std::vector<float> readWav(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr || info.samplerate != 48000 || info.channels != 2) return {};
    std::vector<float> frames(static_cast<size_t>(info.frames) * 2);
    sf_readf_float(f, frames.data(), info.frames);
    sf_close(f);
    return frames;
}

const auto db = [](double rms) { return 20 * std::log10(rms); };

// One line of the phone's packet dump: a datagram sent, or a packet the
// simulated network lost.
struct DumpEvent {
    bool lost = false;
    uint32_t sequence = 0;
    testsupport::Packet payload;
};

std::vector<DumpEvent> readDump(const std::string& path) {
    std::vector<DumpEvent> events;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string kind, hex;
        DumpEvent e;
        fields >> kind >> e.sequence >> hex;
        e.lost = kind == "lost";
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            e.payload.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        events.push_back(std::move(e));
    }
    return events;
}

class PhoneRingTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/sonvale-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::unique_ptr<EngineProcess> startEngine(const std::string& pin) {
        auto engine = std::make_unique<EngineProcess>(EngineProcess::withPin(pin));
        EXPECT_TRUE(engine->waitReady()) << engine->process().err();
        return engine;
    }
    static std::unique_ptr<ChildProcess> phone(const std::vector<std::string>& args) {
        return std::make_unique<ChildProcess>(SONVALE_PHONE_PATH, args);
    }
    static std::unique_ptr<ChildProcess> ringTool(const std::vector<std::string>& args) {
        return std::make_unique<ChildProcess>(SONVALE_RING_TOOL_PATH, args);
    }
    // Stops a recorder as a user would (Ctrl-C) and returns its JSON summary.
    static std::string stopRecorder(ChildProcess& recorder) {
        recorder.signal(SIGINT);
        EXPECT_EQ(recorder.waitForExit(20s), 0) << recorder.err();
        return recorder.out();
    }

    std::string dir;
};

TEST_F(PhoneRingTest, ImpairedStreamLandsInTheRingBitExact) {
    const std::string output = dir + "/out.wav";
    const std::string dump = dir + "/packets.txt";
    auto recorder = ringTool({"record", output, "--consume", "--json"});
    auto engine = startEngine("1357");

    // Paired by the link a QR code carries; sequence numbers wrap through 0.
    const std::string url = "sonvale://connect?host=127.0.0.1&port=" + std::to_string(sonvale::kAudioPort) +
                            "&name=Test%20Rig&pin=1357";
    auto sender = phone({"--url", url, "--tone", "1000", "--level", "-6", "--duration", "6",
                         "--start-seq=4294967200", "--loss=0.05", "--reorder=0.05", "--duplicate=0.05",
                         "--jitter=3", "--seed=42", "--dump-packets", dump, "--json"});
    ASSERT_EQ(sender->waitForExit(60s), 0) << sender->err();
    const std::string summary = sender->out();
    stopRecorder(*recorder);

    const std::vector<DumpEvent> events = readDump(dump);
    testsupport::ReferenceReceiver reference;
    size_t sent = 0, lost = 0;
    std::set<uint32_t> distinct;
    for (const DumpEvent& e : events) {
        (e.lost ? lost : sent) += 1;
        if (e.lost) continue;
        distinct.insert(e.sequence);
        reference.arrive(e.sequence, e.payload);
    }
    // The network really was impaired, and the phone's summary says how.
    EXPECT_EQ(lost + distinct.size(), 300u);
    EXPECT_GT(lost, 5u);
    EXPECT_GT(sent - distinct.size(), 5u);
    EXPECT_EQ(jsonNumber(summary, "dropped"), static_cast<double>(lost)) << summary;
    EXPECT_EQ(jsonNumber(summary, "duplicated"), static_cast<double>(sent - distinct.size())) << summary;
    EXPECT_GT(jsonNumber(summary, "reordered").value_or(0), 5) << summary;

    const std::vector<float> frames = readWav(output);
    ASSERT_GT(reference.frames(), 280u * 960);
    ASSERT_EQ(frames.size(), reference.samples().size());
    EXPECT_TRUE(frames == reference.samples()) << "the ring differs from the reference decode";
    // Concealment keeps the tone at its level: a peak of -6 dBFS is an RMS of -9.03 dBFS.
    for (int channel = 0; channel < 2; ++channel) {
        EXPECT_NEAR(testsupport::frequency(frames, channel, 9600, 96000), 1000, 10);
        EXPECT_NEAR(db(testsupport::rms(frames, channel, 9600, frames.size() / 2)), -9.03, 0.75);
    }
}

}  // namespace
