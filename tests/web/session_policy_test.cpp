// The gateway's session rules as scripts of what pages do and when.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "session_policy.h"

namespace {

using Error = PageMessage::ErrorCode;
using std::chrono::milliseconds;

enum class Do {
    Attach,  // at address
    Hello,   // a new session at address says text: "PIN/page id"
    Ping,
    Audio,
    Guess,  // text: how many new sessions try a wrong PIN, from address or else five from each
    Expire,
};

struct Step {
    int64_t ms;
    Do what;
    char session = 0;
    uint32_t address = 0;
    std::string text{};
    std::string want{};  // what came of it, as Script::run says it
};

const char* const kErrorNames[] = {"",        "WrongPin",      "Throttled", "Busy",    "Confused",
                                   "NoHello", "EngineRefused", "Silent",    "NoSound", "PairingPaused"};

class Script {
public:
    std::string run(const Step& step) {
        const auto now = SessionPolicy::TimePoint{} + milliseconds(step.ms);
        switch (step.what) {
            case Do::Attach:
                ids_[step.session] = policy_.attach(step.address, now);
                return "";
            case Do::Hello:
                ids_[step.session] = policy_.attach(step.address, now);
                return hello(ids_[step.session], step.text, now);
            case Do::Ping:
            case Do::Audio: {
                const auto type = step.what == Do::Ping ? PageMessage::Type::Ping : PageMessage::Type::Audio;
                return policy_.take(ids_.at(step.session), type, now) ? "taken" : "dropped";
            }
            case Do::Guess: {
                std::string out;  // each outcome once
                for (int i = 0; i < std::stoi(step.text); ++i, ++guesses_) {
                    const auto id =
                        policy_.attach(step.address ? step.address : 1000 + uint32_t(guesses_ / 5), now);
                    const std::string outcome = hello(id, "0000/", now);
                    if (out.find(outcome + ";") == std::string::npos) out += outcome + ";";
                }
                return out;
            }
            case Do::Expire: {
                std::string out;
                const SessionPolicy::Expiry expiry = policy_.expire(now);
                for (const auto& [id, error] : expiry.ended)
                    out += label(id) + " " + kErrorNames[int(error)] + ";";
                return out + (expiry.pairingResumed ? "resumed" : "");
            }
        }
        return "?";
    }

private:
    std::string hello(SessionPolicy::SessionId id, const std::string& text, SessionPolicy::TimePoint now) {
        const size_t slash = text.find('/');
        const PageMessage::Hello hello{PageMessage::Codec::Opus, 1, text.substr(0, slash),
                                       text.substr(slash + 1)};
        const SessionPolicy::HelloVerdict verdict = policy_.hello(id, hello, now);
        std::string out = verdict.refusal ? kErrorNames[int(*verdict.refusal)] : "welcome";
        if (verdict.replaced) out += ", replaces " + label(*verdict.replaced);
        if (verdict.pauseBegan) out += ", paused";
        EXPECT_EQ(policy_.paired(id), !verdict.refusal);
        return out;
    }
    std::string label(SessionPolicy::SessionId id) const {
        for (const auto& [session, known] : ids_)
            if (known == id) return std::string(1, session);
        return "guess";
    }

    SessionPolicy policy_{"4711"};
    std::map<char, SessionPolicy::SessionId> ids_;
    int guesses_ = 0;
};

struct Case {
    const char* name;
    std::vector<Step> steps;
};

TEST(SessionPolicy, HoldsThePagesToItsRules) {
    constexpr int64_t kMinute = 60000;
    const Case cases[] = {
        {"the hello deadline counts from attach, and pings before the hello are not answered",
         {{0, Do::Attach, 'a', 1},
          {3000, Do::Ping, 'a', 0, "", "dropped"},
          {9000, Do::Ping, 'a', 0, "", "dropped"},
          {9999, Do::Expire, 0, 0, "", ""},
          {10000, Do::Expire, 0, 0, "", "a NoHello;"}}},
        {"a stream that only pings for 5 s loses its slot to another page",
         {{0, Do::Hello, 'a', 1, "4711/pa", "welcome"},
          {1000, Do::Audio, 'a', 0, "", "taken"},
          {2000, Do::Hello, 'b', 2, "4711/pb", "Busy"},
          {4000, Do::Ping, 'a', 0, "", "taken"},
          {5999, Do::Expire, 0, 0, "", ""},
          {6000, Do::Expire, 0, 0, "", "a NoSound;"},
          {6000, Do::Audio, 'a', 0, "", "dropped"},
          {6000, Do::Hello, 'c', 2, "4711/pb", "welcome"}}},
        {"the same page id takes its stream back",
         {{0, Do::Hello, 'a', 1, "4711/pa", "welcome"},
          {1000, Do::Hello, 'b', 1, "4711/pa", "welcome, replaces a"},
          {1000, Do::Audio, 'a', 0, "", "dropped"},
          {1000, Do::Audio, 'b', 0, "", "taken"}}},
        {"five wrong PINs from an address block it, and only it",
         {{0, Do::Guess, 0, 7, "5", "WrongPin;"},
          {1000, Do::Hello, 'a', 7, "4711/pa", "Throttled"},
          {1000, Do::Hello, 'b', 8, "4711/pb", "welcome"}}},
        {"thirty wrong PINs from the network pause pairing for ten minutes, but not the stream",
         {{0, Do::Hello, 's', 1, "4711/ps", "welcome"},
          {1000, Do::Guess, 0, 0, "29", "WrongPin;"},
          {2000, Do::Guess, 0, 0, "1", "WrongPin, paused;"},
          {3000, Do::Hello, 'b', 50, "4711/pb", "PairingPaused"},
          {3000, Do::Audio, 's', 0, "", "taken"},
          {4000, Do::Hello, 'c', 1, "4711/ps", "welcome, replaces s"},
          {2000 + 10 * kMinute - 1, Do::Expire, 0, 0, "", "c NoSound;"},
          {2000 + 10 * kMinute - 1, Do::Hello, 'd', 51, "4711/pd", "PairingPaused"},
          {2000 + 10 * kMinute, Do::Expire, 0, 0, "", "resumed"},
          {2000 + 10 * kMinute, Do::Hello, 'e', 52, "4711/pe", "welcome"}}},
        {"thirty wrong PINs over more than ten minutes do not pause",
         {{0, Do::Guess, 0, 0, "29", "WrongPin;"},
          {10 * kMinute, Do::Guess, 0, 0, "1", "WrongPin;"},
          {10 * kMinute, Do::Hello, 'a', 1, "4711/pa", "welcome"}}},
    };
    for (const Case& c : cases) {
        Script script;
        for (size_t i = 0; i < c.steps.size(); ++i)
            EXPECT_EQ(script.run(c.steps[i]), c.steps[i].want) << c.name << ", step " << i;
    }
}

}  // namespace
