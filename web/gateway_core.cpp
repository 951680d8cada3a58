#include "gateway_core.h"

#include <algorithm>

#include "audio_packet.h"
#include "sonvale_protocol.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr qint64 kHelloTimeoutMs = 10000;
constexpr qint64 kSilentTimeoutMs = 15000;
constexpr uint16_t kChunkFrames = 960;

// The playout depth each latency choice allows, in 20 ms chunks.
int maxDepthForMode(int mode) {
    return mode == 0 ? 3 : mode == 1 ? 6 : 12;
}

enum Code : uint8_t {
    // Notices
    kStreaming = 1,
    kEngineDown = 2,
    // Errors
    kWrongPin = 1,
    kThrottled = 2,
    kBusy = 3,
    kConfused = 4,
    kNoHello = 5,
    kEngineRefused = 6,
    kSilent = 7,
};

}  // namespace

struct GatewayCore::Stream {
    Stream(Session* s, const PageMessage::Hello& hello, uint32_t firstSequence)
        : session(s),
          pageId(hello.pageId),
          codec(hello.codec),
          playout(maxDepthForMode(hello.mode)),
          sequence(firstSequence) {}
    Session* session;
    std::string pageId;
    PageMessage::Codec codec;
    PcmEncoder encoder;
    PlayoutBuffer playout;
    uint32_t sequence;
    uint32_t frames = 0;
    Clock::time_point nextTick = Clock::now();
};

GatewayCore::GatewayCore(QString pin, QString computerName, QObject* parent)
    : QObject(parent), pin_(std::move(pin)), computerName_(std::move(computerName)), engine_(this) {
    housekeeping_.setInterval(250);
    connect(&housekeeping_, &QTimer::timeout, this, &GatewayCore::housekeeping);
    housekeeping_.start();
    clock_.setSingleShot(true);
    clock_.setTimerType(Qt::PreciseTimer);
    connect(&clock_, &QTimer::timeout, this, &GatewayCore::tick);
    connect(&engine_, &EngineLink::stateChanged, this, &GatewayCore::engineStateChanged);
}

GatewayCore::~GatewayCore() {
    engine_.stop();
}

GatewayCore::Session* GatewayCore::find(Peer* peer) {
    const auto it =
        std::find_if(sessions_.begin(), sessions_.end(), [peer](const auto& s) { return s->peer == peer; });
    return it == sessions_.end() ? nullptr : it->get();
}

void GatewayCore::attach(Peer* peer) {
    auto session = std::make_unique<Session>();
    session->peer = peer;
    session->sinceLastMessage.start();
    sessions_.push_back(std::move(session));
}

void GatewayCore::detach(Peer* peer) {
    Session* session = find(peer);
    if (!session) return;
    if (stream_ && stream_->session == session) endStream();
    std::erase_if(sessions_, [session](const auto& s) { return s.get() == session; });
}

void GatewayCore::receive(Peer* peer, const uint8_t* data, size_t size) {
    Session* session = find(peer);
    if (!session || session->ended) return;
    session->sinceLastMessage.restart();
    const auto messages = session->reader.read(data, size);
    if (!messages) {
        fail(*session, kConfused,
             "This page and the computer do not understand each other. Reload the page.");
        return;
    }
    for (const PageMessage::Message& message : *messages) {
        handle(*session, message);
        if (!find(peer) || session->ended) return;
    }
}

bool GatewayCore::paired(const Peer* peer) const {
    return stream_ && !stream_->session->ended && stream_->session->peer == peer;
}

void GatewayCore::handle(Session& session, const PageMessage::Message& message) {
    using PageMessage::Type;
    const bool streamer = stream_ && stream_->session == &session;
    switch (message.type) {
        case Type::Hello:
            hello(session);
            break;
        case Type::Ping:
            session.peer->send(PageMessage::encode(Type::Pong, message.body.data(), message.body.size()));
            break;
        case Type::Audio:
            if (!streamer) break;
            if (stream_->codec == PageMessage::Codec::Pcm) {
                stream_->playout.push(stream_->encoder.encode(message.body.data()), Clock::now());
            } else {
                stream_->playout.push(message.body, Clock::now());
            }
            break;
        case Type::Mode:
            if (!streamer) break;
            stream_->playout.setMaxDepth(maxDepthForMode(message.body[0]));
            engine_.setMode(message.body[0]);
            break;
        case Type::Stop:
            if (streamer) endStream();
            session.ended = true;
            session.peer->finish();
            break;
        default:
            break;
    }
}

void GatewayCore::hello(Session& session) {
    const PageMessage::Hello& hello = *session.reader.hello();
    const uint32_t address = session.peer->address();
    const auto now = std::chrono::steady_clock::now();
    if (guard_.isBlocked(address, now)) {
        guard_.recordFailure(address, now);
        fail(session, kThrottled, "Too many wrong PINs. Wait a minute, then try again.");
        return;
    }
    if (hello.pin != pin_.toStdString()) {
        guard_.recordFailure(address, now);
        fail(session, kWrongPin, "Wrong PIN. Check the PIN shown on the computer.");
        return;
    }
    if (stream_) {
        // The same page coming back after its connection dropped takes its
        // stream over; any other page waits its turn.
        Session* previous = stream_->session;
        if (hello.pageId.empty() || hello.pageId != stream_->pageId) {
            fail(session, kBusy, "Another phone is streaming");
            return;
        }
        endStream();
        previous->ended = true;
        if (previous->peer) previous->peer->finish();
    }
    // Later sessions go on from the last number: the engine that played it
    // takes the next one without a jump (a jump is played as up to a second of
    // concealment), and an engine started since takes any number.
    stream_ = std::make_unique<Stream>(&session, hello, nextSequence_.value_or(sonvale::clockSequence()));
    session.peer->send(PageMessage::encode(PageMessage::Type::Welcome, computerName_.toStdString()));
    engine_.start(pin_, hello.mode);
    clock_.start(0);
    emit streamingChanged(true, {});
}

void GatewayCore::fail(Session& session, uint8_t code, const QString& sentence) {
    if (stream_ && stream_->session == &session) endStream();
    session.ended = true;
    if (!session.peer) return;
    session.peer->send(PageMessage::encodeStatement(PageMessage::Type::Error, code, sentence.toStdString()));
    session.peer->finish();
}

void GatewayCore::endStream() {
    if (!stream_) return;
    nextSequence_ = stream_->sequence;
    const PlayoutBuffer& playout = stream_->playout;
    const QString detail = QString("playout depth %1 ms, %2 datagrams, %3 concealed, %4 dropped")
                               .arg(playout.target() * 20)
                               .arg(stream_->frames / kChunkFrames)
                               .arg(playout.concealed())
                               .arg(playout.dropped());
    stream_.reset();
    clock_.stop();
    engine_.stop();
    emit streamingChanged(false, detail);
}

void GatewayCore::housekeeping() {
    // Collected first: fail() may lead a transport to detach at once.
    std::vector<QPointer<Peer>> silent;
    for (const auto& session : sessions_) {
        const qint64 quiet = session->sinceLastMessage.elapsed();
        if (!session->ended &&
            (quiet > kSilentTimeoutMs || (!session->reader.helloSeen() && quiet > kHelloTimeoutMs))) {
            silent.push_back(session->peer);
        }
    }
    for (const QPointer<Peer>& peer : silent) {
        Session* session = peer ? find(peer) : nullptr;
        if (!session) continue;
        if (session->reader.helloSeen()) {
            fail(*session, kSilent, "The stream stopped arriving, so the computer ended it.");
        } else {
            fail(*session, kNoHello, "The page did not say hello in time. Reload the page.");
        }
    }
}

void GatewayCore::tick() {
    if (!stream_) return;
    const auto now = Clock::now();
    for (int sent = 0; stream_->nextTick <= now; ++sent) {
        if (sent == 10) {
            // The event loop stalled: start the clock again rather than flood.
            stream_->nextTick = now;
            break;
        }
        stream_->nextTick += PlayoutBuffer::kChunk;
        std::optional<std::vector<uint8_t>> chunk = stream_->playout.tick();
        if (!chunk) continue;
        AudioPacketHeader header{};
        header.magic = AudioPacket::kMagic;
        header.aux16 = kChunkFrames;
        header.sequence = stream_->sequence++;
        header.aux32 = stream_->frames;
        header.payloadLength = static_cast<uint16_t>(chunk->size());
        stream_->frames += kChunkFrames;
        engine_.sendDatagram(AudioPacket::encode(header, chunk->data(), chunk->size()));
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(stream_->nextTick - now);
    clock_.start(static_cast<int>(std::max<int64_t>(wait.count(), 0)));
}

void GatewayCore::engineStateChanged(EngineLink::State state) {
    if (!stream_ || !stream_->session->peer) return;
    Peer* peer = stream_->session->peer;
    using PageMessage::Type;
    switch (state) {
        case EngineLink::State::Linked:
            peer->send(PageMessage::encodeStatement(Type::Notice, kStreaming, "The computer is receiving."));
            break;
        case EngineLink::State::Down:
            peer->send(PageMessage::encodeStatement(
                Type::Notice, kEngineDown, "The computer's audio engine is not running. Waiting for it…"));
            break;
        case EngineLink::State::Refused:
            fail(*stream_->session, kEngineRefused,
                 "The computer's audio engine refused the PIN. Open the new link shown on the computer.");
            break;
        case EngineLink::State::Connecting:
        case EngineLink::State::Stopped:
            break;
    }
}
