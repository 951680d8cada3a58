// Soak: a phone whose clock runs 0.5 % fast or slow sends for a minute through
// the engine, the ring, sonvale-mic and a real PulseAudio into parecord. The
// held-back time stays near the target, the bridge's rate learns the phone's
// clock, and the recording has no dropout. Needs an unloaded machine.
#include <pthread.h>

#include <cmath>
#include <thread>

#include "mic_fixture.h"
#include "net_client.h"
#include "opus_stream.h"

namespace mictest {
namespace {

// The phone is another device: a busy test machine must not disturb its pace,
// so it runs at real-time priority, below the sound server and the bridge.
void sendPaced(const std::vector<testsupport::Packet>& packets, double clockRate) {
    sched_param param{};
    param.sched_priority = 3;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    testsupport::UdpSender udp(sonvale::kAudioPort);
    const auto start = std::chrono::steady_clock::now();
    for (size_t k = 0; k < packets.size(); ++k) {
        std::this_thread::sleep_until(
            start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(0.02 * static_cast<double>(k) / clockRate)));
        udp.send(testsupport::makeDatagram(static_cast<uint32_t>(k), packets[k]));
    }
}

struct Status {
    double heldMs = 0, ratePercent = 0;
    unsigned long long corrections = 0, underruns = 0;
};

std::vector<Status> statusLines(ChildProcess& mic) {
    std::vector<Status> lines;
    for (const std::string& line : mic.outLines()) {
        Status s;
        const size_t at = line.find("held back ");
        if (at != std::string::npos &&
            std::sscanf(line.c_str() + at,
                        "held back %lf ms (target %*f ms), rate %lf %%, corrections %llu (%*f ms dropped), "
                        "underruns %llu",
                        &s.heldMs, &s.ratePercent, &s.corrections, &s.underruns) == 4)
            lines.push_back(s);
    }
    return lines;
}

class MicClock : public MicTest, public ::testing::WithParamInterface<double> {};

TEST_P(MicClock, HeldBackTimeStaysNearTheTargetForAMinute) {
    const double rate = GetParam();
    startServer();
    startMic({"--status"});
    startEngine();
    Recorder recorder(server->dir() + "/recording.raw");
    ASSERT_TRUE(recorder.waitForFrames(4800));
    const size_t before = statusLines(*mic).size();
    sendPaced(testsupport::encodeTestSignal(3000, 1000, 1500, 0.5f), rate);
    ASSERT_TRUE(testsupport::waitFor([&] { return statusLines(*mic).size() >= before + 58; }));
    const std::vector<Status> lines = statusLines(*mic);

    // The lines printed while the phone sent, after the first two seconds.
    for (size_t i = before + 2; i < before + 58; ++i)
        EXPECT_NEAR(lines[i].heldMs, 40, 20) << "status line " << i - before;
    const Status& last = lines[before + 57];
    EXPECT_EQ(last.underruns, 0u);
    EXPECT_EQ(last.corrections, 0u);  // the jitter buffer's first release is skipped at the start
    EXPECT_NEAR(last.ratePercent, (rate - 1) * 100, 0.2);

    const std::vector<float> x = recorder.samples();
    const std::optional<size_t> onset = testsupport::firstLoudFrame(x, 0, 0, 0.05f);
    ASSERT_TRUE(onset.has_value());
    const size_t end = *onset + 59 * 48000;
    ASSERT_GT(x.size() / 2, end);
    EXPECT_EQ(testsupport::longestQuiet(x, 0, *onset + 960, end, 0.25f).length, 0u);
    // The phone's tone, as our clock hears it.
    EXPECT_NEAR(testsupport::frequency(x, 0, end - 48000, 48000), 1000 * rate, 3);
}

INSTANTIATE_TEST_SUITE_P(HalfPercent, MicClock, ::testing::Values(1.005, 0.995),
                         [](const auto& p) { return p.param > 1 ? "PhoneFast" : "PhoneSlow"; });

}  // namespace
}  // namespace mictest
