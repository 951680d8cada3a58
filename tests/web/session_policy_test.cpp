// The gateway's session rules as scripts of what pages do and when. A step is
// "MS WHAT [WHO] [TEXT]" and is paired with what came of it:
//   attach a@1        page a connects from address 1
//   hello a@1 PIN/ID  page a connects from address 1 and says hello: "welcome" or the refusal
//   ping a, audio a   "taken" or "dropped"
//   guess N[@A]       N new pages try a wrong PIN from address A, else five from each; each outcome once
//   expire            each page ended, with its error; "resumed" when pairing resumes
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "session_policy.h"

namespace {

const char* const kErrorNames[] = {"",         "WrongPin",      "Throttled",     "Busy",
                                   "Confused", "NoHello",       "EngineRefused", "Silent",
                                   "NoSound",  "PairingPaused", "UnknownToken"};

class Script {
public:
    std::string run(const std::string& step) {
        std::istringstream in(step);
        int64_t ms = 0;
        std::string what, who, text;
        in >> ms >> what >> who >> text;
        const auto now = SessionPolicy::TimePoint{} + std::chrono::milliseconds(ms);
        const size_t at = who.find('@');
        const uint32_t address = at == std::string::npos ? 0 : uint32_t(std::stoul(who.substr(at + 1)));
        if (what == "attach" || what == "hello") {
            ids_[who[0]] = policy_.attach(address, now);
            return what == "hello" ? hello(ids_[who[0]], text, now) : "";
        }
        if (what == "ping" || what == "audio") {
            const auto type = what == "ping" ? PageMessage::Type::Ping : PageMessage::Type::Audio;
            return policy_.take(ids_.at(who[0]), type, now) ? "taken" : "dropped";
        }
        std::string out;
        if (what == "guess") {
            for (int i = 0; i < std::stoi(who); ++i, ++guesses_) {
                const auto id = policy_.attach(address ? address : 1000 + uint32_t(guesses_ / 5), now);
                const std::string outcome = hello(id, "0000/", now);
                if (out.find(outcome + ";") == std::string::npos) out += outcome + ";";
            }
            return out;
        }
        const SessionPolicy::Expiry expiry = policy_.expire(now);
        for (const auto& [id, error] : expiry.ended)
            out += label(id) + " " + kErrorNames[int(error)] + ";";
        return out + (expiry.pairingResumed ? "resumed" : "");
    }

private:
    std::string hello(SessionPolicy::SessionId id, const std::string& text, SessionPolicy::TimePoint now) {
        const size_t slash = text.find('/');
        // "known/ID" and "unknown/ID" give a paired phone's token, or a stranger's.
        const std::string pin = text.substr(0, slash);
        const bool token = pin.ends_with("known");
        const PageMessage::Hello hello{PageMessage::Codec::Opus, 1, token ? "" : pin, text.substr(slash + 1),
                                       token ? std::string(32, 't') : ""};
        const SessionPolicy::HelloVerdict verdict = policy_.hello(id, hello, now, pin == "known");
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

using Steps = std::vector<std::pair<std::string, std::string>>;

TEST(SessionPolicy, HoldsThePagesToItsRules) {
    const std::pair<const char*, Steps> cases[] = {
        {"the hello deadline counts from attach, and pings before the hello are not answered",
         {{"0 attach a@1", ""},
          {"3000 ping a", "dropped"},
          {"9000 ping a", "dropped"},
          {"9999 expire", ""},
          {"10000 expire", "a NoHello;"}}},
        {"a stream that only pings for 5 s loses its slot to another page",
         {{"0 hello a@1 4711/pa", "welcome"},
          {"1000 audio a", "taken"},
          {"2000 hello b@2 4711/pb", "Busy"},
          {"4000 ping a", "taken"},
          {"5999 expire", ""},
          {"6000 expire", "a NoSound;"},
          {"6000 audio a", "dropped"},
          {"6000 hello c@2 4711/pb", "welcome"}}},
        {"the same page id takes its stream back",
         {{"0 hello a@1 4711/pa", "welcome"},
          {"1000 hello b@1 4711/pa", "welcome, replaces a"},
          {"1000 audio a", "dropped"},
          {"1000 audio b", "taken"}}},
        {"five wrong PINs from an address block it, and only it",
         {{"0 guess 5@7", "WrongPin;"},
          {"1000 hello a@7 4711/pa", "Throttled"},
          {"1000 hello b@8 4711/pb", "welcome"}}},
        {"thirty wrong PINs from the network pause pairing for ten minutes, but not the stream",
         {{"0 hello s@1 4711/ps", "welcome"},
          {"1000 guess 29", "WrongPin;"},
          {"2000 guess 1", "WrongPin, paused;"},
          {"3000 hello b@50 4711/pb", "PairingPaused"},
          {"3000 audio s", "taken"},
          {"4000 hello c@1 4711/ps", "welcome, replaces s"},
          {"601999 expire", "c NoSound;"},
          {"601999 hello d@51 4711/pd", "PairingPaused"},
          {"602000 expire", "resumed"},
          {"602000 hello e@52 4711/pe", "welcome"}}},
        {"a paired phone's token is a right PIN, an unknown token a wrong one",
         {{"0 hello a@1 known/pa", "welcome"},
          {"0 hello b@2 known/pb", "Busy"},
          {"0 guess 4@7", "WrongPin;"},
          {"0 hello c@7 unknown/pc", "UnknownToken"},
          {"0 hello d@7 known/pd", "Throttled"}}},
        {"thirty wrong PINs over more than ten minutes do not pause",
         {{"0 guess 29", "WrongPin;"},
          {"600000 guess 1", "WrongPin;"},
          {"600000 hello a@1 4711/pa", "welcome"}}},
    };
    for (const auto& [name, steps] : cases) {
        Script script;
        for (size_t i = 0; i < steps.size(); ++i)
            EXPECT_EQ(script.run(steps[i].first), steps[i].second) << name << ", step " << i;
    }
}

}  // namespace
