#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hello_guard.h"
#include "page_message.h"

// Which page may do what, and until when, on the clock its caller passes in.
// Knows no sockets: the caller reads the pages' messages and carries out what
// it is told.
// - Hello: a session says Hello within kHelloTime of attach, whatever else it
//   sends. Before its Hello nothing is taken: a Ping is dropped unanswered and
//   neither ends the session nor keeps it alive (a page always sends Hello
//   first, so only a prober pings before it).
// - PIN: checked against the gateway's own, behind two guards. Per address,
//   the engine's HelloGuard (refusal: Throttled). For all addresses together,
//   a budget: kBudget wrong PINs within kBudgetWindow pause pairing for kPause.
//   While paused, every Hello is refused unchecked (PairingPaused) and nothing
//   is counted, except a Hello carrying the streaming page's id, which is
//   checked as ever and may take its stream back. Only PINs actually tried
//   count against the budget: the per-address guard's refusals do not. When
//   a pause ends the budget starts afresh.
// - Token: a Hello without a PIN gives a paired phone's token instead, which
//   the caller looks up. A known token is a right PIN; an unknown one is a
//   wrong PIN for both guards, refused as UnknownToken.
// - One stream: the welcomed session streams. A Hello with the right PIN and
//   the streaming page's id (not empty) takes the stream over, and the session
//   it replaces ends without an error; any other is refused (Busy).
// - Silence: the stream ends when no Audio came for kNoSoundTime since its
//   welcome or its last Audio (NoSound); any session ends when it sent nothing
//   for kQuietTime (Silent). Both are found by expire().
// An ended session takes nothing more until detach() forgets it.
class SessionPolicy {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using SessionId = uint64_t;
    using Error = PageMessage::ErrorCode;

    static constexpr std::chrono::seconds kHelloTime{10};
    static constexpr std::chrono::seconds kNoSoundTime{5};
    static constexpr std::chrono::seconds kQuietTime{15};
    static constexpr int kBudget = 30;
    static constexpr std::chrono::minutes kBudgetWindow{10};
    static constexpr std::chrono::minutes kPause{10};

    struct HelloVerdict {
        std::optional<Error> refusal;       // none: welcome, the session streams
        std::optional<SessionId> replaced;  // the session whose stream it took over
        bool pauseBegan = false;            // this Hello's wrong PIN spent the budget
    };
    struct Expiry {
        std::vector<std::pair<SessionId, Error>> ended;  // in the order of attach
        bool pairingResumed = false;
    };

    explicit SessionPolicy(std::string pin) : pin_(std::move(pin)) {}

    SessionId attach(uint32_t address, TimePoint now);
    // Forgets the session; its stream, if it had one, is over.
    void detach(SessionId id);
    // The session's Hello; the session must be attached and not have been
    // refused or welcomed before. A refused session has ended. tokenKnown:
    // the Hello's token belongs to a paired phone.
    HelloVerdict hello(SessionId id, const PageMessage::Hello& hello, TimePoint now, bool tokenKnown = false);
    // Whether a message other than Hello is to be carried out: Ping and Stop
    // from a paired session, Audio and Mode from the stream. Unknown or ended
    // sessions: false.
    bool take(SessionId id, PageMessage::Type type, TimePoint now);
    // Ends a session for a reason of the caller's (Stop, a confused page, the
    // engine's refusal); its stream, if it had one, is over.
    void end(SessionId id);
    // Ends the sessions whose time ran out, and ends a pause that is over.
    Expiry expire(TimePoint now);

    std::optional<SessionId> streamer() const { return streamer_; }
    // Welcomed and not ended.
    bool paired(SessionId id) const;
    bool ended(SessionId id) const;
    // Until when pairing by PIN is paused, if it is at now.
    std::optional<TimePoint> pausedUntil(TimePoint now) const;

private:
    struct Session {
        uint32_t address = 0;
        TimePoint attached{};
        TimePoint lastMessage{};
        TimePoint lastAudio{};
        std::string pageId;
        bool welcomed = false;
        bool ended = false;
    };

    HelloVerdict refuse(SessionId id, Error error);
    bool spendBudget(TimePoint now);

    std::string pin_;
    HelloGuard guard_;
    std::map<SessionId, Session> sessions_;
    SessionId nextId_ = 1;
    std::optional<SessionId> streamer_;
    std::deque<TimePoint> wrongPins_;  // within the budget window, oldest first
    std::optional<TimePoint> pausedUntil_;
};
