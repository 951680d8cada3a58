// sonvale-phone and sonvale-ring against the real engine, inside the test
// sandbox. Journey 1: a phone pairs and streams a known signal through loss,
// reordering and duplicates, and the ring holds bit for bit what an independent
// receiver makes of the same datagrams, and the engine's statistics count what
// the network did to them.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdlib.h>

#include <cmath>
#include <csignal>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "audio_analysis.h"
#include "engine_process.h"
#include "pairing_url.h"
#include "reference_receiver.h"
#include "sonvale_protocol.h"

namespace {

using namespace std::chrono_literals;
using namespace testsupport;

std::vector<float> readWav(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr || info.samplerate != 48000 || info.channels != 2) return {};
    std::vector<float> frames(static_cast<size_t>(info.frames) * 2);
    sf_readf_float(f, frames.data(), info.frames);
    sf_close(f);
    return frames;
}

// One line of the phone's packet dump: a datagram sent, or a packet the
// simulated network lost.
struct DumpEvent {
    bool lost = false;
    uint32_t sequence = 0;
    Packet payload;
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

// The number after "key": in the JSON text, from where the object "within" begins.
uint64_t member(const std::string& json, const std::string& within, const std::string& key) {
    const size_t object = json.find("\"" + within + "\":{");
    const size_t at = json.find("\"" + key + "\":", object);
    if (object == std::string::npos || at == std::string::npos) return UINT64_MAX;
    return std::stoull(json.substr(at + key.size() + 3));
}

// The ring tool and the phone run beside the engine; the sandbox's /tmp is its own.
TEST(PhoneRing, ImpairedStreamLandsInTheRingBitExact) {
    char pattern[] = "/tmp/sonvale-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string output = std::string(pattern) + "/out.wav",
                      dump = std::string(pattern) + "/packets.txt";
    ChildProcess recorder(SONVALE_RING_TOOL_PATH, {"record", output, "--consume", "--json"});
    // Two seconds counted from the first frame, however long the engine takes to come.
    const std::string counted = std::string(pattern) + "/counted.wav";
    ChildProcess countedRecorder(SONVALE_RING_TOOL_PATH, {"record", counted, "--seconds", "2"});
    EngineProcess engine(EngineProcess::withPin("1357"));
    ASSERT_TRUE(engine.waitReady()) << engine.process().err();

    // Paired by the link a QR code carries; sequence numbers wrap through 0.
    const std::string url = makePairingURL("127.0.0.1", sonvale::kAudioPort, "Test Rig", "1357");
    ChildProcess sender(SONVALE_PHONE_PATH,
                        {"--url", url, "--tone", "1000", "--level", "-6", "--duration", "6",
                         "--start-seq=4294967200", "--loss=0.05", "--reorder=0.05", "--duplicate=0.05",
                         "--jitter=3", "--seed=42", "--dump-packets", dump});
    ASSERT_EQ(sender.waitForExit(60s), 0) << sender.err();
    recorder.signal(SIGINT);  // as a user would stop it
    ASSERT_EQ(recorder.waitForExit(20s), 0) << recorder.err();
    ASSERT_EQ(countedRecorder.waitForExit(20s), 0) << countedRecorder.err();

    const std::vector<DumpEvent> events = readDump(dump);
    ReferenceReceiver reference;
    size_t sent = 0, lost = 0, late = 0;
    std::set<uint32_t> distinct;
    uint32_t newest = 4294967200u;
    for (const DumpEvent& e : events) {
        (e.lost ? lost : sent) += 1;
        if (e.lost) continue;
        const bool first = distinct.insert(e.sequence).second;
        late += first && static_cast<int32_t>(e.sequence - newest) < 0;  // through 0 as sequence order wraps
        if (static_cast<int32_t>(e.sequence - newest) > 0) newest = e.sequence;
        reference.arrive(e.sequence, e.payload);
    }
    // The network really was impaired: lost, repeated and reordered packets.
    EXPECT_EQ(lost + distinct.size(), 300u);
    EXPECT_GT(lost, 5u);
    EXPECT_GT(sent - distinct.size(), 5u);
    EXPECT_GT(late, 5u);

    // The engine's statistics, as sonvale-ring shows them, count what happened to the datagrams.
    ChildProcess status(SONVALE_RING_TOOL_PATH, {"status", "--json"});
    ASSERT_EQ(status.waitForExit(20s), 0) << status.err();
    const std::string stats = status.out();
    std::set<uint32_t> neverArrived;
    for (uint32_t seq : reference.concealed())
        if (distinct.count(seq) == 0) neverArrived.insert(seq);
    EXPECT_EQ(member(stats, "stream", "received"), sent) << stats;
    EXPECT_EQ(member(stats, "stream", "duplicated"), sent - distinct.size()) << stats;
    EXPECT_EQ(member(stats, "stream", "late"), distinct.size() - reference.played()) << stats;
    EXPECT_EQ(member(stats, "stream", "concealed"), reference.concealed().size()) << stats;
    EXPECT_EQ(member(stats, "stream", "lost"), neverArrived.size()) << stats;

    const std::vector<float> frames = readWav(output);
    ASSERT_GT(reference.frames(), 280u * 960);
    ASSERT_EQ(frames.size(), reference.samples().size());
    EXPECT_TRUE(frames == reference.samples()) << "the ring differs from the reference decode";
    const std::vector<float> first = readWav(counted);
    EXPECT_TRUE(first == std::vector<float>(frames.begin(), frames.begin() + 2 * 96000));
    // Concealment keeps the tone at its level: a peak of -6 dBFS is an RMS of -9.03 dBFS.
    for (int channel = 0; channel < 2; ++channel) {
        EXPECT_NEAR(frequency(frames, channel, 9600, 96000), 1000, 10);
        EXPECT_NEAR(20 * std::log10(rms(frames, channel, 9600, frames.size() / 2)), -9.03, 0.75);
    }
}

// Every tool answers --version; a value out of an option's range is refused.
TEST(PhoneRing, VersionsAndRangesOfTheTools) {
    for (const char* tool : {SONVALE_PHONE_PATH, SONVALE_RING_TOOL_PATH}) {
        ChildProcess version(tool, {"--version"});
        EXPECT_EQ(version.waitForExit(20s), 0) << tool;
    }
    ChildProcess refused(SONVALE_RING_TOOL_PATH, {"record", "/tmp/never.wav", "--seconds", "1e10"});
    EXPECT_EQ(refused.waitForExit(20s), 2) << refused.err();
}

}  // namespace
