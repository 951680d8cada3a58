#include "gateway_core.h"

#include <QJsonDocument>

#include <algorithm>

namespace {
// The steady clock is CLOCK_MONOTONIC, the trace's clock.
int64_t monotonicUs(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

using Clock = std::chrono::steady_clock;
using PageMessage::ErrorCode;

// The playout depth each latency choice allows, in 20 ms chunks: Low forwards
// each chunk as it arrives; Normal covers a Wi-Fi stall of 100 ms with 30 ms
// of jitter and a loaded phone's slack, Steady one of 250 ms.
int maxDepthForMode(int mode) {
    return mode == 0 ? 0 : mode == 1 ? 9 : 18;
}

QString sentence(ErrorCode error) {
    switch (error) {
        case ErrorCode::WrongPin:
            return "Wrong PIN. Check the PIN shown on the computer.";
        case ErrorCode::Throttled:
            return "Too many wrong PINs. Wait a minute, then try again.";
        case ErrorCode::Busy:
            return "Another phone is streaming";
        case ErrorCode::Confused:
            return "This page and the computer do not understand each other. Reload the page.";
        case ErrorCode::NoHello:
            return "The page did not say hello in time. Reload the page.";
        case ErrorCode::EngineRefused:
            return "The computer's audio engine refused the PIN. Open the new link shown on the computer.";
        case ErrorCode::Silent:
            return "The stream stopped arriving, so the computer ended it.";
        case ErrorCode::NoSound:
            return "No sound arrived for 5 seconds, so the computer ended the stream. Tap Start to go on.";
        case ErrorCode::UnknownToken:
            return "This computer does not know this phone any more. Type the PIN shown on the computer.";
        case ErrorCode::PairingPaused:
            break;
    }
    return {};
}

// A steady-clock instant as local wall time.
QDateTime wallTime(Clock::time_point at, Clock::time_point now) {
    return QDateTime::currentDateTime().addMSecs(
        std::chrono::ceil<std::chrono::milliseconds>(at - now).count());
}

}  // namespace

GatewayCore::GatewayCore(QString pin, QString computerName, PairedPhones& phones, QObject* parent)
    : QObject(parent),
      pin_(std::move(pin)),
      computerName_(std::move(computerName)),
      phones_(phones),
      policy_(pin_.toStdString()),
      engine_(this),
      clock_([this](const std::vector<uint8_t>& datagram, uint32_t sequence, std::optional<uint64_t> chunk) {
          sent(datagram, sequence, chunk);
      }) {
    housekeeping_.setInterval(250);
    connect(&housekeeping_, &QTimer::timeout, this, &GatewayCore::housekeeping);
    housekeeping_.start();
    connect(&engine_, &EngineLink::stateChanged, this, &GatewayCore::engineStateChanged);
    statsTimer_.setInterval(1000);
    connect(&statsTimer_, &QTimer::timeout, this, &GatewayCore::sampleStats);
}

GatewayCore::~GatewayCore() {
    clock_.stop();
    engine_.stop();
}

GatewayCore::Session* GatewayCore::find(const Peer* peer) const {
    const auto it =
        std::find_if(sessions_.begin(), sessions_.end(), [peer](const auto& s) { return s->peer == peer; });
    return it == sessions_.end() ? nullptr : it->get();
}

GatewayCore::Session* GatewayCore::find(SessionPolicy::SessionId id) const {
    const auto it =
        std::find_if(sessions_.begin(), sessions_.end(), [id](const auto& s) { return s->id == id; });
    return it == sessions_.end() ? nullptr : it->get();
}

bool GatewayCore::paired(const Peer* peer) const {
    const Session* session = find(peer);
    return session && policy_.paired(session->id);
}

void GatewayCore::attach(Peer* peer) {
    auto session = std::make_unique<Session>();
    session->peer = peer;
    session->id = policy_.attach(peer->address(), Clock::now());
    sessions_.push_back(std::move(session));
}

void GatewayCore::detach(Peer* peer) {
    Session* session = find(peer);
    if (!session) return;
    const SessionPolicy::SessionId id = session->id;
    if (streamSession_ == id) endStream();
    policy_.detach(id);
    std::erase_if(sessions_, [id](const auto& s) { return s->id == id; });
}

void GatewayCore::receive(Peer* peer, const uint8_t* data, size_t size) {
    Session* session = find(peer);
    if (!session || policy_.ended(session->id)) return;
    const auto messages = session->reader.read(data, size);
    if (!messages) {
        close(*session, ErrorCode::Confused);
        return;
    }
    // Checked after each message: closing may lead a transport to detach at once.
    for (const PageMessage::Message& message : *messages) {
        handle(*session, message);
        if (!find(peer) || policy_.ended(session->id)) return;
    }
}

void GatewayCore::handle(Session& session, const PageMessage::Message& message) {
    using PageMessage::Type;
    if (message.type == Type::Hello) {
        hello(session);
        return;
    }
    const auto now = Clock::now();
    if (!policy_.take(session.id, message.type, now)) return;
    switch (message.type) {
        case Type::Ping:
            if (streamSession_ == session.id) {
                if (const auto ms = PageMessage::pingRoundTripMs(message.body)) stats_.roundTrip(*ms);
                pageClock_.ping(message.body.data(), message.body.size(), now);
            }
            session.peer->send(PageMessage::encode(Type::Pong, message.body.data(), message.body.size()));
            break;
        case Type::Stamp:
            stamp_ = PageMessage::readTime(message.body.data());
            break;
        case Type::Audio:
            stats_.chunk(now);
            audio(message, now);
            break;
        case Type::Mode:
            clock_.setMaxDepth(maxDepthForMode(message.body[0]));
            engine_.setMode(message.body[0]);
            break;
        case Type::Stop:
            close(session, std::nullopt);
            break;
        default:
            break;
    }
}

void GatewayCore::audio(const PageMessage::Message& message, Clock::time_point now) {
    const uint64_t number = chunks_++;
    if (trace_.enabled()) {
        std::string fields = ",\"leg\":\"arrive\",\"chunk\":" + std::to_string(number);
        if (const auto capture = stamp_ ? pageClock_.toLocal(*stamp_) : std::nullopt)
            fields += ",\"capture\":" + std::to_string(monotonicUs(*capture));
        trace_.line(monotonicUs(now), fields);
    }
    stamp_.reset();
    clock_.push({pcm_ ? pcm_->encode(message.body.data()) : message.body, number}, now);
}

void GatewayCore::sent(const std::vector<uint8_t>& datagram, uint32_t sequence,
                       std::optional<uint64_t> chunk) {
    engine_.sendDatagram(datagram);
    if (!trace_.enabled()) return;
    const std::string seq = ",\"seq\":" + std::to_string(sequence);
    trace_.line(TraceLog::nowUs(), chunk ? ",\"leg\":\"send\",\"chunk\":" + std::to_string(*chunk) + seq
                                         : ",\"leg\":\"send\"" + seq + ",\"concealed\":true");
}

void GatewayCore::hello(Session& session) {
    const PageMessage::Hello& hello = *session.reader.hello();
    const auto now = Clock::now();
    std::optional<QString> phoneId;
    if (!hello.token.empty())
        phoneId = phones_.check(QByteArray::fromStdString(hello.token), QDateTime::currentDateTimeUtc());
    const SessionPolicy::HelloVerdict verdict = policy_.hello(session.id, hello, now, phoneId.has_value());
    if (verdict.pauseBegan) emit pairingPaused(wallTime(*policy_.pausedUntil(now), now));
    if (verdict.refusal) {
        close(session, verdict.refusal);
        return;
    }
    if (verdict.replaced) {
        // The same page coming back after its connection dropped: its old
        // session goes without a word.
        endStream();
        if (Session* previous = find(*verdict.replaced)) close(*previous, std::nullopt);
    }
    startStream(session, hello);
    QString error;
    if (!phoneId) {
        // Paired by the PIN: the phone gets the token it gives from now on.
        const auto token = phones_.pair(session.peer->phoneName(), QDateTime::currentDateTimeUtc(), error);
        if (token) {
            phoneId = phones_.phones().back().id;
            session.peer->send(PageMessage::encode(PageMessage::Type::Token,
                                                   reinterpret_cast<const uint8_t*>(token->constData()),
                                                   static_cast<size_t>(token->size())));
        }
    }
    session.phoneId = phoneId.value_or(QString());
    emit phonesChanged(error);
}

void GatewayCore::phonesForgotten(const QStringList& ids) {
    // Looked up one at a time: closing one may lead a transport to detach at once.
    std::vector<SessionPolicy::SessionId> gone;
    for (const auto& session : sessions_) {
        if (!session->phoneId.isEmpty() && ids.contains(session->phoneId)) gone.push_back(session->id);
    }
    for (const SessionPolicy::SessionId id : gone) {
        if (Session* session = find(id); session && !policy_.ended(id))
            close(*session, ErrorCode::UnknownToken);
    }
}

void GatewayCore::startStream(Session& session, const PageMessage::Hello& hello) {
    streamSession_ = session.id;
    pageClock_.reset();
    stamp_.reset();
    pcm_ = hello.codec == PageMessage::Codec::Pcm ? std::make_unique<PcmEncoder>() : nullptr;
    clock_.start(maxDepthForMode(hello.mode));
    stats_.begin(Clock::now());
    statsTimer_.start();
    session.peer->send(PageMessage::encode(PageMessage::Type::Welcome, computerName_.toStdString()));
    engine_.start(pin_, hello.mode);
    emit streamingChanged(true, {});
    emit streamStarted(session.peer->phoneName(), session.peer->transport(),
                       hello.codec == PageMessage::Codec::Pcm ? "pcm" : "opus");
}

void GatewayCore::close(Session& session, std::optional<ErrorCode> error) {
    if (streamSession_ == session.id) endStream();
    policy_.end(session.id);
    Peer* peer = session.peer;
    if (!peer) return;
    if (error) {
        const QString text = *error == ErrorCode::PairingPaused ? pauseSentence() : sentence(*error);
        peer->send(PageMessage::encodeStatement(PageMessage::Type::Error, static_cast<uint8_t>(*error),
                                                text.toStdString()));
    }
    peer->finish();
}

QString GatewayCore::pauseSentence() const {
    const auto now = Clock::now();
    const auto until = policy_.pausedUntil(now).value_or(now);
    return "Someone on the network is trying PINs: pairing paused until " +
           wallTime(until, now).toString("HH:mm");
}

void GatewayCore::endStream() {
    if (!streamSession_) return;
    streamSession_.reset();
    statsTimer_.stop();
    pcm_.reset();
    const QString detail = clock_.stop();
    engine_.stop();
    emit streamingChanged(false, detail);
}

void GatewayCore::sampleStats() {
    const PlayoutBuffer* playout = clock_.playout();
    Session* session = streamSession_ ? find(*streamSession_) : nullptr;
    if (!playout || !session || !session->peer) return;
    const QJsonObject stats = stats_.sample(Clock::now(), playout->concealed(), playout->dropped(),
                                            static_cast<int>(playout->depth()));
    session->peer->send(PageMessage::encode(
        PageMessage::Type::Stats, QJsonDocument(stats).toJson(QJsonDocument::Compact).toStdString()));
    emit statistics(stats);
}

void GatewayCore::housekeeping() {
    const SessionPolicy::Expiry expiry = policy_.expire(Clock::now());
    // Looked up one at a time: closing one may lead a transport to detach at once.
    for (const auto& [id, error] : expiry.ended) {
        if (Session* session = find(id)) close(*session, error);
    }
    if (expiry.pairingResumed) emit pairingResumed();
}

void GatewayCore::engineStateChanged(EngineLink::State state) {
    Session* session = streamSession_ ? find(*streamSession_) : nullptr;
    if (!session || !session->peer) return;
    using PageMessage::NoticeCode;
    using PageMessage::Type;
    const auto notice = [&](NoticeCode code, const char* text) {
        session->peer->send(PageMessage::encodeStatement(Type::Notice, static_cast<uint8_t>(code), text));
    };
    switch (state) {
        case EngineLink::State::Linked:
            notice(NoticeCode::Streaming, "The computer is receiving.");
            break;
        case EngineLink::State::Down:
            notice(NoticeCode::EngineDown, "The computer's audio engine is not running. Waiting for it…");
            break;
        case EngineLink::State::Refused:
            close(*session, ErrorCode::EngineRefused);
            break;
        case EngineLink::State::Connecting:
        case EngineLink::State::Stopped:
            break;
    }
}
