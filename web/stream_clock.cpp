#include "stream_clock.h"

#include <algorithm>

#include "audio_packet.h"
#include "sonvale_protocol.h"

namespace {
constexpr uint16_t kChunkFrames = 960;
// Ticks sent at most at once after the event loop stalled.
constexpr int kMaxCatchUp = 10;
}  // namespace

StreamClock::StreamClock(Sink sink) : sink_(std::move(sink)) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
}

void StreamClock::start(int maxDepth) {
    playout_.emplace(maxDepth);
    forwarding_ = maxDepth == 0;
    // Later streams go on from the last number: the engine that played it
    // takes the next one without a jump (a jump is played as up to a second of
    // concealment), and an engine started since takes any number.
    if (!sequence_) sequence_ = sonvale::clockSequence();
    frames_ = 0;
    nextTick_ = PlayoutBuffer::Clock::now();
    timer_.start(0);
}

QString StreamClock::stop() {
    if (!playout_) return {};
    const QString detail = QString("playout depth %1 ms, %2 datagrams, %3 concealed, %4 dropped")
                               .arg(playout_->target() * 20)
                               .arg(frames_ / kChunkFrames)
                               .arg(playout_->concealed())
                               .arg(playout_->dropped());
    playout_.reset();
    timer_.stop();
    return detail;
}

void StreamClock::push(PlayoutBuffer::Chunk chunk, PlayoutBuffer::Clock::time_point arrival) {
    if (!playout_) return;
    if (forwarding_) {
        send(chunk.bytes, chunk.number);
        return;
    }
    playout_->push(std::move(chunk), arrival);
}

void StreamClock::setMaxDepth(int chunks) {
    if (!playout_ || (chunks == 0) == forwarding_) {
        if (playout_) playout_->setMaxDepth(chunks);
        return;
    }
    // From forwarding to playout or back: a fresh buffer, what was held leaves now.
    while (playout_->depth() > 0)
        if (auto chunk = playout_->tick(); chunk && !chunk->bytes.empty()) send(chunk->bytes, chunk->number);
    playout_.emplace(chunks);
    forwarding_ = chunks == 0;
}

void StreamClock::send(const std::vector<uint8_t>& bytes, std::optional<uint64_t> chunk) {
    AudioPacketHeader header{};
    header.magic = AudioPacket::kMagic;
    header.aux16 = kChunkFrames;
    header.sequence = (*sequence_)++;
    header.aux32 = frames_;
    header.payloadLength = static_cast<uint16_t>(bytes.size());
    frames_ += kChunkFrames;
    sink_(AudioPacket::encode(header, bytes.data(), bytes.size()), header.sequence, chunk);
}

void StreamClock::tick() {
    if (!playout_) return;
    const auto now = PlayoutBuffer::Clock::now();
    if (forwarding_) {
        // Idle, so that playout resumes on time when the choice changes.
        nextTick_ = now;
        timer_.start(static_cast<int>(PlayoutBuffer::kChunk.count() / 1000));
        return;
    }
    for (int sent = 0; nextTick_ <= now; ++sent) {
        if (sent == kMaxCatchUp) {
            // The event loop stalled: start the clock again rather than flood.
            nextTick_ = now;
            break;
        }
        nextTick_ += PlayoutBuffer::kChunk;
        std::optional<PlayoutBuffer::Chunk> chunk = playout_->tick();
        if (chunk)
            send(chunk->bytes, chunk->bytes.empty() ? std::nullopt : std::optional<uint64_t>(chunk->number));
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextTick_ - now);
    timer_.start(static_cast<int>(std::max<int64_t>(wait.count(), 0)));
}
