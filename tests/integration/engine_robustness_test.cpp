#include <random>
#include <thread>

#include "engine_fixture.h"
#include "opus_stream.h"

namespace testsupport {
namespace {

std::string randomLine(std::mt19937& rng) {
    static const std::vector<std::string> fragments = {"\"t\":\"hello\"",
                                                       "\"t\":\"ping\"",
                                                       "\"t\":\"mode\"",
                                                       "\"mode\":",
                                                       "\"pin\":",
                                                       "\"",
                                                       "{",
                                                       "}",
                                                       "\r",
                                                       "\t",
                                                       " ",
                                                       "0",
                                                       "1",
                                                       "2",
                                                       "9",
                                                       "\"1234\"",
                                                       "\xff\xfe",
                                                       std::string(1, '\0')};
    std::uniform_int_distribution<int> pieces(0, 12);
    std::uniform_int_distribution<size_t> pick(0, fragments.size() - 1);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string line;
    for (int i = pieces(rng); i > 0; --i) {
        if (byte(rng) < 64) {
            line.push_back(static_cast<char>(byte(rng)));
        } else {
            line += fragments[pick(rng)];
        }
    }
    std::erase(line, '\n');
    return line + "\n";
}

// 10,000 random datagrams and 10,000 random control lines, with abrupt resets in
// between: the engine keeps running and still serves a well-behaved phone.
TEST_F(EngineTest, SurvivesRandomDatagramsAndControlLines) {
    launchReady({"--pin", "1234"});
    std::mt19937 rng(4711);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<size_t> length(0, 2100);
    const std::vector<Packet> real = encodeTestSignal(4);

    TcpClient phone = authedClient("1234");  // so datagrams are admitted and decoded
    UdpSender udp(kAudioPort);
    for (int i = 0; i < 10000; ++i) {
        std::vector<uint8_t> d(length(rng));
        for (uint8_t& b : d)
            b = static_cast<uint8_t>(byte(rng));
        if (i % 4 == 0 && d.size() >= 14) {  // a valid header over random or real payload
            const Packet& payload = real[static_cast<size_t>(i) % real.size()];
            d = makeDatagram(static_cast<uint32_t>(rng()),
                             i % 8 == 0 ? payload : Packet(d.begin() + 14, d.end()));
        }
        udp.send(d);
        if (i % 64 == 0) std::this_thread::sleep_for(1ms);
    }

    std::vector<TcpClient> clients(4);
    for (int i = 0; i < 10000; ++i) {
        TcpClient& c = clients[static_cast<size_t>(i) % clients.size()];
        if (c.fd() < 0 && !c.connectWithin(kControlPort, 5s)) FAIL() << "control port gone";
        if (!c.send(randomLine(rng)) || i % 500 == 0) c.reset();
        if (i % 100 == 0) std::this_thread::sleep_for(1ms);
    }
    for (TcpClient& c : clients)
        c.reset();

    TcpClient check;
    ASSERT_TRUE(check.connectWithin(kControlPort, 5s));
    ASSERT_TRUE(check.send("{\"t\":\"ping\",\"n\":1}\n"));
    EXPECT_EQ(check.readLine(10s), "{\"t\":\"ping\",\"n\":1}");
    EXPECT_TRUE(phone.send("{\"t\":\"ping\"}\n"));
    EXPECT_EQ(phone.readLine(10s), "{\"t\":\"ping\"}");
    engine->signal(SIGTERM);
    EXPECT_EQ(engine->waitForExit(10s), 0);
}

}  // namespace
}  // namespace testsupport
