#include "session_policy.h"

#include <cassert>

SessionPolicy::SessionId SessionPolicy::attach(uint32_t address, TimePoint now) {
    const SessionId id = nextId_++;
    Session& session = sessions_[id];
    session.address = address;
    session.attached = now;
    session.lastMessage = now;
    return id;
}

void SessionPolicy::detach(SessionId id) {
    if (streamer_ == id) streamer_.reset();
    sessions_.erase(id);
}

void SessionPolicy::end(SessionId id) {
    const auto it = sessions_.find(id);
    if (it == sessions_.end()) return;
    it->second.ended = true;
    if (streamer_ == id) streamer_.reset();
}

SessionPolicy::HelloVerdict SessionPolicy::refuse(SessionId id, Error error) {
    end(id);
    return {error, std::nullopt, false};
}

SessionPolicy::HelloVerdict SessionPolicy::hello(SessionId id, const PageMessage::Hello& hello, TimePoint now,
                                                 bool tokenKnown) {
    const auto it = sessions_.find(id);
    assert(it != sessions_.end() && !it->second.ended && !it->second.welcomed);
    Session& session = it->second;
    session.lastMessage = now;
    const bool streamingPage =
        streamer_ && !hello.pageId.empty() && hello.pageId == sessions_.at(*streamer_).pageId;

    if (pausedUntil(now) && !streamingPage) return refuse(id, Error::PairingPaused);
    if (guard_.isBlocked(session.address, now)) {
        guard_.recordFailure(session.address, now);
        return refuse(id, Error::Throttled);
    }
    const bool byToken = hello.pin.empty();
    if (byToken ? !tokenKnown : hello.pin != pin_) {
        guard_.recordFailure(session.address, now);
        const bool pauseBegan = spendBudget(now);
        HelloVerdict verdict = refuse(id, byToken ? Error::UnknownToken : Error::WrongPin);
        verdict.pauseBegan = pauseBegan;
        return verdict;
    }
    if (streamer_ && !streamingPage) return refuse(id, Error::Busy);

    HelloVerdict verdict;
    if (streamer_) {
        verdict.replaced = streamer_;
        end(*streamer_);
    }
    session.welcomed = true;
    session.pageId = hello.pageId;
    session.lastAudio = now;
    streamer_ = id;
    return verdict;
}

// A sliding window of the wrong PINs' times: the budget is spent when it holds
// kBudget of them.
bool SessionPolicy::spendBudget(TimePoint now) {
    while (!wrongPins_.empty() && now - wrongPins_.front() >= kBudgetWindow)
        wrongPins_.pop_front();
    wrongPins_.push_back(now);
    if (wrongPins_.size() < static_cast<size_t>(kBudget)) return false;
    wrongPins_.clear();
    pausedUntil_ = now + kPause;
    return true;
}

bool SessionPolicy::take(SessionId id, PageMessage::Type type, TimePoint now) {
    const auto it = sessions_.find(id);
    if (it == sessions_.end() || it->second.ended || !it->second.welcomed) return false;
    Session& session = it->second;
    session.lastMessage = now;
    using PageMessage::Type;
    switch (type) {
        case Type::Audio:
            if (streamer_ != id) return false;
            session.lastAudio = now;
            return true;
        case Type::Mode:
        case Type::Stamp:
            return streamer_ == id;
        case Type::Ping:
        case Type::Stop:
            return true;
        default:
            return false;
    }
}

SessionPolicy::Expiry SessionPolicy::expire(TimePoint now) {
    Expiry expiry;
    for (auto& [id, session] : sessions_) {
        if (session.ended) continue;
        std::optional<Error> error;
        if (!session.welcomed && now - session.attached >= kHelloTime) {
            error = Error::NoHello;
        } else if (streamer_ == id && now - session.lastAudio >= kNoSoundTime) {
            error = Error::NoSound;
        } else if (now - session.lastMessage >= kQuietTime) {
            error = Error::Silent;
        }
        if (!error) continue;
        end(id);
        expiry.ended.emplace_back(id, *error);
    }
    if (pausedUntil_ && now >= *pausedUntil_) {
        pausedUntil_.reset();
        expiry.pairingResumed = true;
    }
    return expiry;
}

bool SessionPolicy::paired(SessionId id) const {
    const auto it = sessions_.find(id);
    return it != sessions_.end() && it->second.welcomed && !it->second.ended;
}

bool SessionPolicy::ended(SessionId id) const {
    const auto it = sessions_.find(id);
    return it == sessions_.end() || it->second.ended;
}

std::optional<SessionPolicy::TimePoint> SessionPolicy::pausedUntil(TimePoint now) const {
    if (pausedUntil_ && now < *pausedUntil_) return pausedUntil_;
    return std::nullopt;
}
