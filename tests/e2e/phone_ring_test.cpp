// The phone and ring tools against the real engine, inside the test sandbox:
// a stream from sonvale-phone must come out of the ring as sonvale-ring records
// it, with the right content, bit for bit what the dumped packets decode to.
#include <gtest/gtest.h>
#include <ogg/ogg.h>
#include <opus.h>
#include <sndfile.h>
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
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

#include "child_process.h"
#include "jitter_buffer.h"
#include "paths.h"
#include "sv_ring.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;

const std::string kReady = "[engine] Pipeline ready. Entering main loop.";

std::optional<double> jsonNumber(const std::string& json, const std::string& key) {
    std::smatch m;
    if (!std::regex_search(json, m, std::regex("\"" + key + "\":(-?[0-9.]+)"))) return std::nullopt;
    return std::stod(m[1]);
}

std::optional<std::string> jsonText(const std::string& json, const std::string& key) {
    std::smatch m;
    if (!std::regex_search(json, m, std::regex("\"" + key + "\":\"([^\"]*)\""))) return std::nullopt;
    return m[1];
}

std::vector<float> readWav(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr) return {};
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    std::vector<float> frames(static_cast<size_t>(info.frames) * 2);
    sf_readf_float(f, frames.data(), info.frames);
    sf_close(f);
    return frames;
}

// Power of one channel at one frequency (Goertzel), normalised by length.
double powerAt(const std::vector<float>& frames, int channel, double hz, size_t from, size_t to) {
    const double w = 2 * std::numbers::pi * hz / 48000.0;
    double s1 = 0, s2 = 0;
    for (size_t i = from; i < to; ++i) {
        const double s = frames[2 * i + static_cast<size_t>(channel)] + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    const double n = static_cast<double>(to - from);
    return (s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2) / (n * n);
}

double rmsDb(const std::vector<float>& frames, int channel, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) {
        const double v = frames[2 * i + static_cast<size_t>(channel)];
        sum += v * v;
    }
    return 20 * std::log10(std::sqrt(sum / static_cast<double>(to - from)));
}

struct DumpEvent {
    bool lost = false;
    uint32_t sequence = 0;
    std::vector<uint8_t> payload;
};

std::vector<DumpEvent> readDump(const std::string& path) {
    std::vector<DumpEvent> events;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string kind, hex;
        DumpEvent e;
        fields >> kind >> e.sequence >> hex;
        e.lost = kind == "lost";
        EXPECT_TRUE(kind == "lost" || kind == "sent") << line;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            e.payload.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        events.push_back(std::move(e));
    }
    return events;
}

// What the engine plays when the sent datagrams arrive in send order: the
// jitter buffer's play-out steps, decoded by an independent libopus decoder.
std::vector<float> expectedPlayout(const std::vector<DumpEvent>& events) {
    int error = 0;
    OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
    JitterBuffer jitter;
    std::vector<float> out;
    std::vector<float> pcm(1920);
    for (const DumpEvent& e : events) {
        if (e.lost) continue;
        jitter.push(e.sequence, std::vector<uint8_t>(e.payload));
        std::vector<uint8_t> payload;
        bool lost = false;
        while (jitter.pop(payload, lost)) {
            const bool conceal = lost || payload.empty();
            const int n =
                opus_decode_float(decoder, conceal ? nullptr : payload.data(),
                                  conceal ? 0 : static_cast<opus_int32>(payload.size()), pcm.data(), 960, 0);
            if (n > 0) out.insert(out.end(), pcm.begin(), pcm.begin() + 2 * n);
        }
    }
    opus_decoder_destroy(decoder);
    return out;
}

// The audio packets of an Ogg Opus file, read independently with libogg.
std::vector<std::vector<uint8_t>> oggAudioPackets(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char* buffer = ogg_sync_buffer(&sync, static_cast<long>(bytes.size()));
    std::memcpy(buffer, bytes.data(), bytes.size());
    ogg_sync_wrote(&sync, static_cast<long>(bytes.size()));
    ogg_stream_state stream;
    bool streamOpen = false;
    std::vector<std::vector<uint8_t>> packets;
    ogg_page page;
    while (ogg_sync_pageout(&sync, &page) == 1) {
        if (!streamOpen) ogg_stream_init(&stream, ogg_page_serialno(&page));
        streamOpen = true;
        ogg_stream_pagein(&stream, &page);
        ogg_packet packet;
        while (ogg_stream_packetout(&stream, &packet) == 1)
            packets.emplace_back(packet.packet, packet.packet + packet.bytes);
    }
    if (streamOpen) ogg_stream_clear(&stream);
    ogg_sync_clear(&sync);
    if (packets.size() >= 2) packets.erase(packets.begin(), packets.begin() + 2);  // OpusHead, OpusTags
    return packets;
}

class PhoneRingTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/sonvale-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::unique_ptr<ChildProcess> startEngine(const std::string& pin) {
        auto engine =
            std::make_unique<ChildProcess>(testsupport::enginePath(), std::vector<std::string>{"--pin", pin});
        EXPECT_TRUE(engine->waitForLine(kReady, 10s)) << engine->err();
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
        EXPECT_EQ(recorder.waitForExit(10s), 0) << recorder.err();
        return recorder.out();
    }
    static std::string ringStatus() {
        ChildProcess status(SONVALE_RING_TOOL_PATH, {"status", "--json"});
        status.waitForExit(10s);
        return status.out();
    }

    std::string dir;
};

// A 44.1 kHz 16-bit file goes through resampling, encoding, the engine and the
// ring: each channel keeps its own tone and its level.
TEST_F(PhoneRingTest, SoundFileComesOutOfTheRingWithItsFrequenciesAndLevel) {
    const std::string input = dir + "/in.wav";
    {
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open(input.c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        std::vector<float> pcm(2 * 44100 * 3);
        for (size_t i = 0; i < pcm.size() / 2; ++i) {
            const double t = static_cast<double>(i) / 44100.0;
            pcm[2 * i] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 440 * t));
            pcm[2 * i + 1] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 1000 * t));
        }
        sf_writef_float(f, pcm.data(), static_cast<sf_count_t>(pcm.size() / 2));
        sf_close(f);
    }
    const std::string output = dir + "/out.wav";
    auto recorder = ringTool({"record", output, "--json"});
    auto engine = startEngine("4321");
    auto meter = ringTool({"level", "--seconds", "2.5", "--json"});

    auto sender = phone(
        {"--url", "sonvale://connect?host=127.0.0.1&port=47810&name=Test%20Rig%E2%80%99s%20%26%20Co&pin=4321",
         input, "--mode", "0", "--json"});
    ASSERT_EQ(sender->waitForExit(20s), 0) << sender->err();
    const std::string summary = sender->out();
    EXPECT_EQ(jsonText(summary, "result"), "finished") << summary;
    EXPECT_EQ(jsonText(summary, "name"), "Test Rig\u2019s & Co") << summary;
    EXPECT_EQ(jsonNumber(summary, "packets"), 150) << summary;  // 3 s at 48 kHz in 20 ms packets
    EXPECT_EQ(jsonNumber(summary, "dropped"), 0);
    EXPECT_GE(jsonNumber(summary, "count").value_or(0), 2) << "round trips measured: " << summary;
    EXPECT_TRUE(engine->waitForLine("[engine] Mode 0 \u2192 jitter target 2 packets", 1s));

    const std::string recorded = stopRecorder(*recorder);
    EXPECT_EQ(jsonNumber(recorded, "frames"), 150 * 960) << recorded;
    EXPECT_EQ(jsonNumber(recorded, "framesLost"), 0);
    const std::vector<float> frames = readWav(output);
    ASSERT_EQ(frames.size(), 2u * 150 * 960);

    const size_t from = 9600, to = 9600 + 96000;  // two seconds, past the codec's onset
    EXPECT_GT(powerAt(frames, 0, 440, from, to), 100 * powerAt(frames, 0, 1000, from, to));
    EXPECT_GT(powerAt(frames, 1, 1000, from, to), 100 * powerAt(frames, 1, 440, from, to));
    // A sine of peak 0.5 has an RMS of -9.03 dBFS.
    EXPECT_NEAR(rmsDb(frames, 0, from, to), -9.03, 0.5);
    EXPECT_NEAR(rmsDb(frames, 1, from, to), -9.03, 0.5);

    ASSERT_EQ(meter->waitForExit(10s), 0) << meter->err();
    bool sawLevel = false;
    for (const std::string& line : meter->outLines()) {
        const double left = jsonNumber(line, "leftDb").value_or(-100);
        if (line.find("\"writing\":true") != std::string::npos && std::fabs(left + 9.03) < 1.0)
            sawLevel = true;
    }
    EXPECT_TRUE(sawLevel) << meter->out();
}

// A known tone through 5 % loss, reordering, duplicates and jitter, with
// sequence numbers wrapping through 0: the consuming recorder holds exactly what
// an independent decoder makes of the dumped packets in the order they were
// sent, and the tone is still there at its level.
TEST_F(PhoneRingTest, ImpairedStreamIsBitExactAgainstADecodeOfTheDump) {
    const std::string output = dir + "/out.wav";
    const std::string dump = dir + "/packets.txt";
    auto recorder = ringTool({"record", output, "--consume", "--json"});
    auto engine = startEngine("1357");

    // A peak of -6 dBFS is an RMS of -9.03 dBFS.
    std::vector<std::string> stream = {"--pin", "1357", "--tone", "1000", "--level", "-6", "--duration", "6"};
    for (const char* option : {"--start-seq=4294967200", "--loss=0.05", "--reorder=0.05", "--duplicate=0.05",
                               "--jitter=3", "--seed=42"})
        stream.emplace_back(option);
    std::vector<std::string> args = stream;
    args.insert(args.end(), {"--dump-packets", dump, "--json"});
    auto sender = phone(args);
    ASSERT_EQ(sender->waitForExit(30s), 0) << sender->err();
    const std::string summary = sender->out();
    const std::string recorded = stopRecorder(*recorder);

    const std::vector<DumpEvent> events = readDump(dump);
    size_t sent = 0, lost = 0;
    std::set<uint32_t> distinct;
    for (const DumpEvent& e : events) {
        (e.lost ? lost : sent) += 1;
        if (!e.lost) distinct.insert(e.sequence);
    }
    EXPECT_EQ(jsonNumber(summary, "packets"), 300) << summary;
    EXPECT_EQ(jsonNumber(summary, "sent"), static_cast<double>(sent)) << summary;
    EXPECT_EQ(jsonNumber(summary, "dropped"), static_cast<double>(lost)) << summary;
    EXPECT_EQ(jsonNumber(summary, "duplicated"), static_cast<double>(sent - distinct.size())) << summary;
    EXPECT_EQ(lost + distinct.size(), 300u);
    EXPECT_GT(lost, 5u);
    EXPECT_GT(sent - distinct.size(), 5u);
    EXPECT_GT(jsonNumber(summary, "reordered").value_or(0), 5) << summary;

    const std::vector<float> expected = expectedPlayout(events);
    const std::vector<float> frames = readWav(output);
    EXPECT_EQ(jsonNumber(recorded, "framesLost"), 0) << recorded;
    ASSERT_GT(expected.size(), 2u * 280 * 960);
    ASSERT_EQ(frames.size(), expected.size());
    EXPECT_EQ(std::memcmp(frames.data(), expected.data(), frames.size() * sizeof(float)), 0);

    // Concealment keeps the tone where it was, and its level within a little.
    const size_t from = 9600, to = frames.size() / 2;
    for (int channel = 0; channel < 2; ++channel) {
        EXPECT_GT(powerAt(frames, channel, 1000, from, to), 1000 * powerAt(frames, channel, 700, from, to));
        EXPECT_GT(powerAt(frames, channel, 1000, from, to), 1000 * powerAt(frames, channel, 1500, from, to));
        EXPECT_NEAR(rmsDb(frames, channel, from, to), -9.03, 0.75);
    }

    // The same seed gives the same wire order again, also when sent in a burst.
    const std::string again = dir + "/again.txt";
    args = stream;
    args.insert(args.end(), {"--dump-packets", again, "--burst"});
    auto burst = phone(args);
    ASSERT_EQ(burst->waitForExit(30s), 0) << burst->err();
    std::ifstream a(dump), b(again);
    EXPECT_TRUE(std::equal(std::istreambuf_iterator<char>(a), {}, std::istreambuf_iterator<char>(b), {}));
}

// Packets made by another encoder (opusenc, mono) go out byte for byte as the
// file holds them, and the ring holds exactly their decode.
TEST_F(PhoneRingTest, OggOpusPacketsFromAnotherEncoderArriveUnchanged) {
    const std::string wav = dir + "/in.wav";
    const std::string opus = dir + "/in.opus";
    {
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open(wav.c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        std::vector<float> pcm(48000);
        for (size_t i = 0; i < pcm.size(); ++i)
            pcm[i] = static_cast<float>(
                0.4 * std::sin(2 * std::numbers::pi * 700 * static_cast<double>(i) / 48000));
        sf_writef_float(f, pcm.data(), static_cast<sf_count_t>(pcm.size()));
        sf_close(f);
    }
    ChildProcess encoder("/usr/bin/opusenc", {"--quiet", "--framesize", "20", "--bitrate", "48", wav, opus});
    ASSERT_EQ(encoder.waitForExit(20s), 0) << encoder.err();
    const std::vector<std::vector<uint8_t>> packets = oggAudioPackets(opus);
    ASSERT_GE(packets.size(), 50u);

    const std::string output = dir + "/out.wav";
    const std::string dump = dir + "/packets.txt";
    auto recorder = ringTool({"record", output, "--json"});
    auto engine = startEngine("5555");
    auto sender = phone({"--pin", "5555", "--opus-file", opus, "--dump-packets", dump, "--json"});
    ASSERT_EQ(sender->waitForExit(20s), 0) << sender->err();
    EXPECT_EQ(jsonNumber(sender->out(), "packets"), static_cast<double>(packets.size())) << sender->out();
    stopRecorder(*recorder);

    const std::vector<DumpEvent> events = readDump(dump);
    ASSERT_EQ(events.size(), packets.size());
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_FALSE(events[i].lost);
        EXPECT_EQ(events[i].payload, packets[i]) << "packet " << i;
    }
    const std::vector<float> frames = readWav(output);
    const std::vector<float> expected = expectedPlayout(events);
    ASSERT_EQ(frames.size(), 2 * 960 * packets.size());
    ASSERT_EQ(frames.size(), expected.size());
    EXPECT_EQ(std::memcmp(frames.data(), expected.data(), frames.size() * sizeof(float)), 0);
}

TEST_F(PhoneRingTest, WrongPinEndsThePhoneWithStatusThreeAndTheRingStaysSilent) {
    auto engine = startEngine("1111");
    auto sender = phone({"--pin", "2222", "--tone", "440", "--duration", "2"});
    EXPECT_EQ(sender->waitForExit(10s), 3);
    EXPECT_NE(sender->err().find("refused the PIN"), std::string::npos) << sender->err();
    std::this_thread::sleep_for(200ms);
    const std::string status = ringStatus();
    EXPECT_EQ(jsonNumber(status, "writeIndex"), 0) << status;
    EXPECT_EQ(jsonText(status, "ring"), "/sonvale_ring");
}

TEST_F(PhoneRingTest, UnreachableEngineEndsThePhoneWithStatusThree) {
    auto sender = phone({"--pin", "2222", "--tone", "440", "--connect-timeout", "1", "--json"});
    EXPECT_EQ(sender->waitForExit(10s), 3);
    EXPECT_NE(sender->err().find("cannot be reached"), std::string::npos) << sender->err();
    EXPECT_EQ(jsonText(sender->out(), "result"), "unreachable");
    // Without any ring, status says so and fails.
    ChildProcess status(SONVALE_RING_TOOL_PATH, {"status"});
    EXPECT_EQ(status.waitForExit(10s), 1);
}

// A user may start the phone first: it waits and streams once the engine is up.
TEST_F(PhoneRingTest, PhoneStartedBeforeTheEngineConnectsWhenItAppears) {
    auto sender = phone({"--pin", "2468", "--tone", "1000", "--duration", "1", "--json"});
    std::this_thread::sleep_for(1200ms);
    EXPECT_FALSE(sender->waitForExit(0ms).has_value()) << "the phone gave up: " << sender->err();
    auto engine = startEngine("2468");
    ASSERT_EQ(sender->waitForExit(15s), 0) << sender->err();
    EXPECT_EQ(jsonText(sender->out(), "result"), "finished");
    const std::string status = ringStatus();
    EXPECT_EQ(jsonNumber(status, "writeIndex"), 50 * 960) << status;

    // A second run against the same engine is played too, not dropped as late.
    auto again = phone({"--pin", "2468", "--tone", "1000", "--duration", "0.5"});
    ASSERT_EQ(again->waitForExit(15s), 0) << again->err();
    const std::string after = ringStatus();
    EXPECT_GE(jsonNumber(after, "writeIndex"), (50 + 25) * 960) << after;
}

// The engine is restarted in the middle of a stream: the phone pairs again and
// goes on, and both recorders follow the new ring without losing a frame that
// either engine wrote.
TEST_F(PhoneRingTest, RecordersFollowAnEngineRestart) {
    const std::string looked = dir + "/looked.wav";
    const std::string consumed = dir + "/consumed.wav";
    auto lookRecorder = ringTool({"record", looked, "--json"});
    auto consumeRecorder = ringTool({"record", consumed, "--consume", "--json"});
    auto engine = startEngine("8642");
    SVRingHandle first{-1, nullptr};
    ASSERT_TRUE(SVRing_OpenReader(&first));

    auto sender = phone({"--pin", "8642", "--tone", "440", "--duration", "4", "--json"});
    std::this_thread::sleep_for(1500ms);
    engine->signal(SIGTERM);
    ASSERT_EQ(engine->waitForExit(5s), 0);
    const uint64_t firstFrames = __atomic_load_n(static_cast<uint64_t*>(first.base), __ATOMIC_ACQUIRE);
    SVRing_Close(&first);
    EXPECT_GT(firstFrames, 48000u);

    engine = startEngine("8642");
    ASSERT_EQ(sender->waitForExit(20s), 0) << sender->err();
    EXPECT_GE(jsonNumber(sender->out(), "reconnects"), 1) << sender->out();
    const std::string status = ringStatus();
    const double secondFrames = jsonNumber(status, "writeIndex").value_or(0);
    EXPECT_GT(secondFrames, 48000) << status;

    for (auto* recorder : {lookRecorder.get(), consumeRecorder.get()}) {
        const std::string summary = stopRecorder(*recorder);
        EXPECT_EQ(jsonNumber(summary, "restartsFollowed"), 1) << summary;
        EXPECT_EQ(jsonNumber(summary, "frames"), static_cast<double>(firstFrames) + secondFrames) << summary;
        EXPECT_EQ(jsonNumber(summary, "framesLost"), 0) << summary;
    }
    EXPECT_EQ(readWav(looked), readWav(consumed));
}

}  // namespace
