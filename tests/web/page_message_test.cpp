// What the gateway accepts from a page, unit by unit.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "page_message.h"
#include "post_order.h"

namespace {

using PageMessage::Fault;
using Bytes = std::vector<uint8_t>;

// A message whose header declares `declared` body bytes (by default, its own).
Bytes unit(uint8_t type, const Bytes& body, size_t declared = SIZE_MAX) {
    if (declared == SIZE_MAX) declared = body.size();
    Bytes out{type, uint8_t(declared & 0xFF), uint8_t(declared >> 8)};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}
Bytes hello(uint8_t codec = 2, uint8_t mode = 1, const std::string& pin = "4711",
            const std::string& id = "") {
    Bytes body{1, codec, mode, uint8_t(pin.size())};
    body.insert(body.end(), pin.begin(), pin.end());
    body.insert(body.end(), id.begin(), id.end());
    return unit(1, body);
}
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
const Bytes pcm = unit(2, Bytes(1920));

// The entries of `const NAME = { key: value, ... }` in the page's script.
std::map<std::string, int> pageTable(const std::string& name) {
    std::ifstream in(SONVALE_SOURCE_DIR "/web/page/session.js");
    const std::string js{std::istreambuf_iterator<char>(in), {}};
    const size_t open = js.find('{', js.find("const " + name + " = {"));
    std::map<std::string, int> table;
    std::istringstream entries(js.substr(open + 1, js.find('}', open) - open - 1));
    for (std::string key, value; std::getline(entries, key, ':') && std::getline(entries, value, ',');)
        table[key.substr(key.find_first_not_of(' '))] = std::stoi(value, nullptr, 0);
    return table;
}

TEST(PageMessages, ThePagesScriptUsesTheGatewaysCodes) {
    using namespace PageMessage;
    const auto code = [](auto value) { return static_cast<int>(value); };
    EXPECT_EQ(pageTable("T"), (std::map<std::string, int>{{"hello", code(Type::Hello)},
                                                          {"audio", code(Type::Audio)},
                                                          {"mode", code(Type::Mode)},
                                                          {"stop", code(Type::Stop)},
                                                          {"ping", code(Type::Ping)},
                                                          {"stamp", code(Type::Stamp)},
                                                          {"welcome", code(Type::Welcome)},
                                                          {"notice", code(Type::Notice)},
                                                          {"error", code(Type::Error)},
                                                          {"token", code(Type::Token)},
                                                          {"pong", code(Type::Pong)},
                                                          {"stats", code(Type::Stats)}}));
    EXPECT_EQ(pageTable("ERROR"),
              (std::map<std::string, int>{{"wrongPin", code(ErrorCode::WrongPin)},
                                          {"silent", code(ErrorCode::Silent)},
                                          {"unknownToken", code(ErrorCode::UnknownToken)}}));
    EXPECT_EQ(pageTable("CODEC"),
              (std::map<std::string, int>{{"opus", code(Codec::Opus)}, {"pcm", code(Codec::Pcm)}}));
}

struct Case {
    const char* name;
    std::vector<Bytes> units;  // all but the last must pass
    Fault fault;               // of the last
};

TEST(PageMessages, AcceptOnlyWholeWellFormedMessagesInOrder) {
    const Bytes opusHello = hello(1);
    const Case cases[] = {
        {"hello, pcm, mode, ping, stop in one unit",
         {hello() + pcm + unit(3, {2}) + unit(5, {9}) + unit(4, {})},
         Fault::None},
        {"opus packets of 1 and 1275 bytes",
         {opusHello, unit(2, Bytes(1)) + unit(2, Bytes(1275))},
         Fault::None},
        {"ping before hello", {unit(5, Bytes(16)), hello()}, Fault::None},
        {"stamp before audio", {hello(), unit(6, Bytes(8)) + pcm}, Fault::None},
        {"stamp of 7 bytes", {hello(), unit(6, Bytes(7))}, Fault::BadBody},
        {"stamp before hello", {unit(6, Bytes(8))}, Fault::WrongOrder},
        {"hello with a page id of 16 bytes", {hello(2, 0, "1", std::string(16, 'x'))}, Fault::None},
        {"empty unit", {Bytes{}}, Fault::Short},
        {"header cut", {Bytes{2, 0}}, Fault::Short},
        {"body cut", {hello(), unit(2, Bytes(1919), 1920)}, Fault::Short},
        {"message cut after a whole one", {hello() + Bytes{5}}, Fault::Short},
        {"body over the limit", {hello(), unit(2, Bytes(2049))}, Fault::Oversize},
        {"a gateway's type", {unit(0x81, {})}, Fault::WrongType},
        {"unknown type", {unit(0x07, {})}, Fault::WrongType},
        {"hello version 2 with a token",
         {unit(1, Bytes{2, 2, 1, 0, 32} + Bytes(32, 7) + Bytes{'p'})},
         Fault::None},
        {"hello version 2 with a pin and a token",
         {unit(1, Bytes{2, 2, 1, 1, '1', 32} + Bytes(32))},
         Fault::BadBody},
        {"hello version 2 token of 31 bytes", {unit(1, Bytes{2, 2, 1, 0, 31} + Bytes(31))}, Fault::BadBody},
        {"hello version 3", {unit(1, {3, 2, 1, 1, '1'})}, Fault::BadBody},
        {"hello codec 3", {hello(3)}, Fault::BadBody},
        {"hello mode 3", {hello(2, 3)}, Fault::BadBody},
        {"hello without a pin", {hello(2, 1, "")}, Fault::BadBody},
        {"hello pin longer than its body", {unit(1, {1, 2, 1, 5, '1'})}, Fault::BadBody},
        {"hello pin of 33 bytes", {hello(2, 1, std::string(33, '1'))}, Fault::BadBody},
        {"hello page id of 17 bytes", {hello(2, 1, "1", std::string(17, 'x'))}, Fault::BadBody},
        {"pcm chunk one byte short", {hello(), unit(2, Bytes(1919))}, Fault::BadBody},
        {"opus packet empty", {opusHello, unit(2, {})}, Fault::BadBody},
        {"opus packet of 1276 bytes", {opusHello, unit(2, Bytes(1276))}, Fault::BadBody},
        {"mode 3", {hello(), unit(3, {3})}, Fault::BadBody},
        {"stop with a body", {hello(), unit(4, {0})}, Fault::BadBody},
        {"ping of 17 bytes", {unit(5, Bytes(17))}, Fault::BadBody},
        {"audio before hello", {pcm}, Fault::WrongOrder},
        {"second hello", {hello(), hello()}, Fault::WrongOrder},
        {"a bad message after a good hello in one unit", {hello() + unit(3, {7})}, Fault::BadBody},
    };
    for (const Case& c : cases) {
        PageMessage::Reader reader;
        for (size_t i = 0; i + 1 < c.units.size(); ++i) {
            ASSERT_TRUE(reader.read(c.units[i].data(), c.units[i].size())) << c.name;
        }
        const Bytes& last = c.units.back();
        const bool ok = reader.read(last.data(), last.size()).has_value();
        EXPECT_EQ(ok, c.fault == Fault::None) << c.name;
        EXPECT_EQ(reader.fault(), c.fault) << c.name;
    }
}

// A 16-byte Ping reports the page's round trip after its clock; nothing else does.
TEST(PageMessages, APingReportsTheRoundTripInItsSecondHalf) {
    const auto ping = [](double clock, double ms) {
        Bytes body(16);
        std::memcpy(body.data(), &clock, 8);
        std::memcpy(body.data() + 8, &ms, 8);
        return body;
    };
    EXPECT_EQ(PageMessage::pingRoundTripMs(ping(1234.5, 12.25)), 12.25);
    EXPECT_EQ(PageMessage::pingRoundTripMs(ping(1234.5, -1)), std::nullopt);
    EXPECT_EQ(PageMessage::pingRoundTripMs(Bytes(8)), std::nullopt);
}

// Each POST's body is its number here; what is read, in order.
TEST(PostOrder, ReadsRequestsInThePagesOrderWithinASmallWindow) {
    struct Row {
        const char* name;
        uint32_t first;
        std::vector<uint32_t> arriving;
        std::vector<uint32_t> read;
    };
    const Row rows[] = {
        {"in order", 1, {1, 2, 3}, {1, 2, 3}},
        {"swapped", 1, {2, 1, 4, 3}, {1, 2, 3, 4}},
        {"three reversed", 1, {3, 2, 1}, {1, 2, 3}},
        {"duplicate", 1, {1, 1, 2, 2}, {1, 2}},
        {"a lost request is given up once one comes a window ahead", 1, {2, 3, 4, 5, 6}, {2, 3, 4, 5, 6}},
        {"the lost one arriving after that", 1, {2, 5, 1, 3}, {2, 3}},
        {"a jump far ahead", 1, {1, 100, 101}, {1, 100, 101}},
        {"across the wrap", 0xFFFFFFFE, {0xFFFFFFFF, 0xFFFFFFFE, 1, 0}, {0xFFFFFFFE, 0xFFFFFFFF, 0, 1}},
        {"half the range back is late", 0x80000001, {1, 0x80000001}, {0x80000001}},
    };
    for (const Row& row : rows) {
        PostOrder order(row.first);
        std::vector<uint32_t> read;
        for (uint32_t seq : row.arriving) {
            for (const QByteArray& body : order.take(seq, QByteArray::number(seq)))
                read.push_back(body.toUInt());
        }
        EXPECT_EQ(read, row.read) << row.name;
    }
}

}  // namespace
