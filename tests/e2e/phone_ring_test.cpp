// sonvale-phone and sonvale-ring against the real engine, inside the test
// sandbox. Journey 1: a phone pairs and streams a known signal through loss,
// reordering and duplicates, and the ring holds bit for bit what an independent
// receiver makes of the same datagrams.
#include <gtest/gtest.h>
#include <ogg/ogg.h>
#include <sndfile.h>
#include <stdlib.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio_analysis.h"
#include "engine_process.h"
#include "reference_receiver.h"
#include "sonvale_protocol.h"
#include "sv_ring.hpp"
#include "wait.h"

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

// Three seconds of 16-bit stereo at rate: 440 Hz left, 1000 Hz right, peak 0.5.
void writeTones(const std::string& path, int rate) {
    SF_INFO info{0, rate, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    std::vector<float> pcm(static_cast<size_t>(2 * rate * 3));
    for (size_t i = 0; i < pcm.size() / 2; ++i) {
        const double t = 2 * std::numbers::pi * static_cast<double>(i) / rate;
        pcm[2 * i] = static_cast<float>(0.5 * std::sin(440 * t));
        pcm[2 * i + 1] = static_cast<float>(0.5 * std::sin(1000 * t));
    }
    sf_writef_float(f, pcm.data(), static_cast<sf_count_t>(pcm.size() / 2));
    sf_close(f);
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

// A 44.1 kHz stereo file is converted to 48 kHz with each channel's tone and
// level kept; the level meter shows that level while it plays.
TEST_F(PhoneRingTest, SoundFileArrivesWithEachChannelsToneAndLevel) {
    const std::string input = dir + "/in.wav";
    writeTones(input, 44100);

    const std::string output = dir + "/out.wav", counted = dir + "/counted.wav";
    auto recorder = ringTool({"record", output, "--json"});
    // Two seconds of audio counted from the first frame, however long the engine takes to come.
    auto countedRecorder = ringTool({"record", counted, "--seconds", "2"});
    auto engine = startEngine("4321");
    auto meter = ringTool({"level", "--seconds", "2.5", "--json"});
    auto sender = phone({"--pin", "4321", input});
    ASSERT_EQ(sender->waitForExit(60s), 0) << sender->err();
    const std::string recorded = stopRecorder(*recorder);
    EXPECT_EQ(jsonNumber(recorded, "frames"), 150 * 960) << recorded;  // 3 s in 20 ms packets

    const std::vector<float> frames = readWav(output);
    ASSERT_EQ(frames.size(), 2u * 150 * 960);
    EXPECT_NEAR(testsupport::frequency(frames, 0, 9600, 96000), 440, 1);
    EXPECT_NEAR(testsupport::frequency(frames, 1, 9600, 96000), 1000, 2);
    EXPECT_NEAR(db(testsupport::rms(frames, 0, 9600, 96000)), -9.03, 0.5);
    EXPECT_NEAR(db(testsupport::rms(frames, 1, 9600, 96000)), -9.03, 0.5);
    ASSERT_EQ(countedRecorder->waitForExit(20s), 0) << countedRecorder->err();
    EXPECT_TRUE(readWav(counted) == std::vector<float>(frames.begin(), frames.begin() + 2 * 96000));

    ASSERT_EQ(meter->waitForExit(20s), 0) << meter->err();
    bool sawLevel = false;
    for (const std::string& line : meter->outLines())
        sawLevel |= std::fabs(jsonNumber(line, "leftDb").value_or(-100) + 9.03) < 1.0;
    EXPECT_TRUE(sawLevel) << meter->out();
}

// Packets made by another encoder (opusenc) go out byte for byte as the file
// holds them, read here independently with libogg.
TEST_F(PhoneRingTest, OggOpusPacketsFromAnotherEncoderGoOutUnchanged) {
    const std::string wav = dir + "/in.wav", opus = dir + "/in.opus", dump = dir + "/packets.txt";
    writeTones(wav, 48000);
    ChildProcess encoder("opusenc", {"--quiet", "--framesize", "20", "--bitrate", "48", wav, opus});
    ASSERT_EQ(encoder.waitForExit(20s), 0) << encoder.err();

    std::ifstream in(opus, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ogg_sync_state sync;
    ogg_stream_state stream{};
    ogg_sync_init(&sync);
    std::copy(bytes.begin(), bytes.end(), ogg_sync_buffer(&sync, static_cast<long>(bytes.size())));
    ogg_sync_wrote(&sync, static_cast<long>(bytes.size()));
    std::vector<testsupport::Packet> packets;
    for (ogg_page page; ogg_sync_pageout(&sync, &page) == 1;) {
        if (ogg_page_bos(&page)) ogg_stream_init(&stream, ogg_page_serialno(&page));
        ogg_stream_pagein(&stream, &page);
        for (ogg_packet p; ogg_stream_packetout(&stream, &p) == 1;)
            packets.emplace_back(p.packet, p.packet + p.bytes);
    }
    ogg_stream_clear(&stream);
    ogg_sync_clear(&sync);
    ASSERT_GE(packets.size(), 152u);
    packets.erase(packets.begin(), packets.begin() + 2);  // OpusHead, OpusTags

    auto engine = startEngine("5555");
    auto sender = phone({"--pin", "5555", "--opus-file", opus, "--dump-packets", dump});
    ASSERT_EQ(sender->waitForExit(60s), 0) << sender->err();
    const std::vector<DumpEvent> events = readDump(dump);
    ASSERT_EQ(events.size(), packets.size());
    for (size_t i = 0; i < events.size(); ++i)
        EXPECT_EQ(events[i].payload, packets[i]) << "packet " << i;
}

// Every tool answers --version; a value out of an option's range is refused.
TEST_F(PhoneRingTest, ToolsAnswerVersionAndRefuseValuesOutOfRange) {
    for (const char* tool : {SONVALE_PHONE_PATH, SONVALE_RING_TOOL_PATH, SONVALE_MIC_PATH}) {
        ChildProcess version(tool, {"--version"});
        EXPECT_EQ(version.waitForExit(20s), 0) << tool;
        EXPECT_NE(version.out().find(TARNWELL_VERSION), std::string::npos) << version.out();
    }
    ChildProcess refused(SONVALE_RING_TOOL_PATH, {"record", dir + "/x.wav", "--seconds", "1e10"});
    EXPECT_EQ(refused.waitForExit(20s), 2);
    EXPECT_NE(refused.err().find("out of range"), std::string::npos) << refused.err();
}

TEST_F(PhoneRingTest, WrongPinAndNoEngineEndThePhoneWithStatusThree) {
    auto refused = phone({"--pin", "2222", "--tone", "440", "--connect-timeout", "1"});
    EXPECT_EQ(refused->waitForExit(30s), 3);               // nothing listens yet
    EXPECT_EQ(ringTool({"status"})->waitForExit(20s), 1);  // and there is no ring
    auto engine = startEngine("1111");
    auto wrong = phone({"--pin", "2222", "--tone", "440", "--duration", "2"});
    EXPECT_EQ(wrong->waitForExit(30s), 3);
}

// A phone started before the engine waits for it; when the engine restarts in
// mid-stream the phone pairs again and goes on, and both kinds of recorder
// follow the new ring without losing a frame either engine wrote.
TEST_F(PhoneRingTest, PhoneAndRecordersRideOutAnEngineRestart) {
    const std::string looked = dir + "/looked.wav", consumed = dir + "/consumed.wav";
    auto lookRecorder = ringTool({"record", looked, "--json"});
    auto consumeRecorder = ringTool({"record", consumed, "--consume", "--json"});
    auto sender = phone({"--pin", "8642", "--tone", "440", "--duration", "4", "--json"});
    std::this_thread::sleep_for(1s);  // the phone finds no engine yet
    auto engine = startEngine("8642");
    svring::Ring first;
    ASSERT_TRUE(first.open(svring::Ring::Access::look));
    ASSERT_TRUE(testsupport::waitFor([&] { return first.writeIndex() > 48000; }, 30s));
    ASSERT_EQ(engine->stop(), 0);
    const uint64_t firstFrames = first.writeIndex();

    engine = startEngine("8642");
    ASSERT_EQ(sender->waitForExit(60s), 0) << sender->err();
    EXPECT_GE(jsonNumber(sender->out(), "reconnects"), 1) << sender->out();
    svring::Ring second;
    ASSERT_TRUE(second.open(svring::Ring::Access::look));
    EXPECT_GT(second.writeIndex(), 48000u);
    for (auto* recorder : {lookRecorder.get(), consumeRecorder.get()}) {
        const std::string summary = stopRecorder(*recorder);
        EXPECT_EQ(jsonNumber(summary, "restartsFollowed"), 1) << summary;
        EXPECT_EQ(jsonNumber(summary, "frames"), static_cast<double>(firstFrames + second.writeIndex()))
            << summary;
        EXPECT_EQ(jsonNumber(summary, "framesLost"), 0) << summary;
    }
    EXPECT_TRUE(readWav(looked) == readWav(consumed));
}

}  // namespace
