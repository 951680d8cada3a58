#include "phone_session.h"

#include <arpa/inet.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "audio_packet.h"
#include "control_line.h"

namespace {

using namespace std::chrono_literals;

constexpr int kRate = 48000;
constexpr uint32_t kLongestPlayableFrames = 960;
constexpr auto kConnectAttemptTimeout = 1000ms;
constexpr auto kRetryPause = 500ms;
constexpr auto kHelloReplyTimeout = 5s;
constexpr auto kPingInterval = 1s;
constexpr auto kStatusInterval = 250ms;
// After the last datagram a ping is echoed before the phone hangs up: the echo
// shows the engine's loop has run since, and the short linger after it lets it
// take any datagram still queued before the hang-up closes the gate.
constexpr auto kDrainEchoTimeout = 2s;
constexpr auto kLingerAfterEcho = 100ms;

double msBetween(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

}  // namespace

void RoundTrips::add(double ms) {
    minMs = count == 0 ? ms : std::min(minMs, ms);
    maxMs = count == 0 ? ms : std::max(maxMs, ms);
    sumMs += ms;
    lastMs = ms;
    ++count;
}

PhoneSession::PhoneSession(PhoneSettings settings, PacketSource& source, SignalWatch& signals,
                           StatusLine& status)
    : settings_(std::move(settings)),
      source_(source),
      signals_(signals),
      status_(status),
      impairment_(settings_.impairment) {
    if (settings_.durationSeconds > 0) {
        durationFrames_ = static_cast<uint64_t>(settings_.durationSeconds * kRate + 0.5);
    }
    summary_.firstSeq = settings_.startSeq;
    summary_.lastSeq = settings_.startSeq;
}

// Stream time of a frame position, from the whole count each time so that
// rounding never accumulates over a long stream.
int64_t PhoneSession::nominalNs(uint64_t frames) const {
    return static_cast<int64_t>(frames * 1000000000ull / kRate);
}

bool PhoneSession::sourceDone() const {
    return sourceEnded_ || (durationFrames_ != 0 && producedFrames_ >= durationFrames_);
}

PhoneSummary PhoneSession::run() {
    std::string error;
    if (!settings_.dumpPath.empty() && !dump_.open(settings_.dumpPath, error)) {
        summary_.result = PhoneSummary::Result::Failed;
        summary_.message = error;
        return summary_;
    }

    for (;;) {
        const Link link = connectAndGreet();
        if (link != Link::Ready) {
            summary_.result = link == Link::Stopped    ? PhoneSummary::Result::Stopped
                              : link == Link::WrongPin ? PhoneSummary::Result::WrongPin
                                                       : PhoneSummary::Result::Unreachable;
            break;
        }
        const StreamEnd end = stream();
        if (end == StreamEnd::EngineLost) {
            ++summary_.reconnects;
            continue;
        }
        if (end == StreamEnd::Finished) linger();
        summary_.result = end == StreamEnd::Finished  ? PhoneSummary::Result::Finished
                          : end == StreamEnd::Stopped ? PhoneSummary::Result::Stopped
                                                      : PhoneSummary::Result::Failed;
        break;
    }
    control_.close();
    status_.clear();
    summary_.reordered = schedule_.reordered();
    summary_.duplicated = schedule_.duplicated();
    if (!dump_.close(error) && summary_.result != PhoneSummary::Result::Failed) {
        summary_.result = PhoneSummary::Result::Failed;
        summary_.message = error;
    }
    return summary_;
}

PhoneSession::Link PhoneSession::connectAndGreet() {
    const auto started = Clock::now();
    const std::string where = settings_.host + ":" + std::to_string(settings_.controlPort);
    std::string reason;
    for (;;) {
        if (signals_.stopRequested()) return Link::Stopped;
        std::string error;
        std::optional<in_addr> address = resolveIPv4(settings_.host, error);
        if (address) {
            controlAddress_.sin_family = AF_INET;
            controlAddress_.sin_addr = *address;
            controlAddress_.sin_port = htons(settings_.controlPort);
        }
        if (address && control_.connect(controlAddress_, kConnectAttemptTimeout, error)) {
            lastReply_.clear();
            control_.sendLine(ControlLine::hello(settings_.pin));
            const auto replyDeadline = Clock::now() + kHelloReplyTimeout;
            while (lastReply_.empty() && Clock::now() < replyDeadline && !signals_.stopRequested()) {
                if (!waitAndServe(replyDeadline)) break;
            }
            if (ControlLine::reply(lastReply_) == ControlLine::Reply::HelloOk) {
                // Audio goes to the host that just accepted the PIN.
                sockaddr_in audioAddress = controlAddress_;
                audioAddress.sin_port = htons(settings_.audioPort);
                std::string audioError;
                if (!audio_.open(audioAddress, audioError)) {
                    summary_.message = audioError;
                    return Link::Unreachable;
                }
                if (settings_.mode) {
                    control_.sendLine(ControlLine::mode(*settings_.mode));
                }
                nextPing_ = Clock::now();
                return Link::Ready;
            }
            if (ControlLine::reply(lastReply_) == ControlLine::Reply::HelloErr) {
                summary_.message = "the engine at " + where + " refused the PIN";
                return Link::WrongPin;
            }
            error = !lastReply_.empty() ? "an unexpected answer to the hello"
                    : control_.isOpen() ? "no answer to the hello"
                                        : "the engine closed the connection";
            control_.close();
        }
        reason = error;
        const double waited = std::chrono::duration<double>(Clock::now() - started).count();
        if (settings_.connectTimeoutSeconds > 0 && waited >= settings_.connectTimeoutSeconds) {
            summary_.message = "the engine at " + where + " cannot be reached: " + reason;
            return Link::Unreachable;
        }
        status_.show("waiting for the engine at " + where + " (" + reason + ") ...");
        if (signals_.sleepFor(static_cast<int>(kRetryPause.count()))) return Link::Stopped;
    }
}

// Packets are made just in time: until the next one would be due after the
// earliest waiting transmission (a packet is never sent before its nominal time).
void PhoneSession::produceDue() {
    while (!sourceDone() && (schedule_.empty() || nominalNs(producedFrames_) <= *schedule_.nextDueNs())) {
        std::optional<SourcePacket> packet = source_.next();
        if (!packet) {
            sourceEnded_ = true;
            return;
        }
        if (packet->frames > kLongestPlayableFrames && !warnedLongPacket_) {
            status_.clear();
            std::fprintf(stderr,
                         "sonvale-phone: warning: the source holds packets of %u ms; the engine plays "
                         "packets of up to 20 ms only\n",
                         packet->frames / 48);
            warnedLongPacket_ = true;
        }
        const uint64_t index = summary_.packets++;
        const auto sequence = static_cast<uint32_t>(settings_.startSeq + index);
        const int64_t nominal = nominalNs(producedFrames_);
        const int64_t interval = nominalNs(producedFrames_ + packet->frames) - nominal;
        const PacketFate fate = impairment_.next(interval);
        summary_.lastSeq = sequence;

        if (fate.lost) {
            ++summary_.dropped;
            schedule_.add(Transmission{nominal, 0, index, sequence, true, {}});
        } else {
            // aux16: the packet's frames; aux32: its first frame's position in the
            // stream. The engine carries both without reading them.
            AudioPacketHeader header{};
            header.magic = AudioPacket::kMagic;
            header.aux16 = static_cast<uint16_t>(std::min<uint32_t>(packet->frames, UINT16_MAX));
            header.sequence = sequence;
            header.aux32 = static_cast<uint32_t>(producedFrames_);
            header.payloadLength = static_cast<uint16_t>(packet->payload.size());
            const std::vector<uint8_t> datagram =
                AudioPacket::encode(header, packet->payload.data(), packet->payload.size());
            for (int64_t delay : fate.delaysNs) {
                schedule_.add(Transmission{nominal + delay, 0, index, sequence, false, datagram});
            }
        }
        producedFrames_ += packet->frames;
        summary_.frames = producedFrames_;
    }
}

void PhoneSession::sendTransmission(Transmission t) {
    if (t.lost) {
        dump_.lost(t.sequence);
        return;
    }
    if (!audio_.send(t.datagram)) ++summary_.sendErrors;
    ++summary_.datagrams;
    dump_.sent(t.sequence, t.datagram.data() + AudioPacket::kHeaderSize,
               t.datagram.size() - AudioPacket::kHeaderSize);
}

PhoneSession::StreamEnd PhoneSession::stream() {
    // Resume where the stream stands: the next due transmission goes out now.
    produceDue();
    const std::optional<int64_t> resumeAt = schedule_.nextDueNs();
    anchor_ = Clock::now() - std::chrono::nanoseconds(resumeAt.value_or(nominalNs(producedFrames_)));
    nextStatus_ = Clock::now();

    for (;;) {
        if (signals_.stopRequested()) return StreamEnd::Stopped;
        produceDue();
        if (!source_.errorText().empty()) {
            summary_.message = source_.errorText();
            return StreamEnd::Failed;
        }
        if (schedule_.empty()) return StreamEnd::Finished;

        const auto now = Clock::now();
        maybePing(now);
        showStatus(now);
        const auto due = anchor_ + std::chrono::nanoseconds(*schedule_.nextDueNs());
        if (!settings_.burst && now < due) {
            const auto wakeUp = std::min({due, nextPing_, status_.enabled() ? nextStatus_ : due});
            if (!waitAndServe(wakeUp)) return StreamEnd::EngineLost;
            continue;
        }
        if (!waitAndServe(std::nullopt)) return StreamEnd::EngineLost;
        sendTransmission(schedule_.take());
    }
}

bool PhoneSession::waitAndServe(std::optional<Clock::time_point> deadline) {
    pollfd fds[2] = {{control_.fd(), POLLIN, 0}, {signals_.fd(), POLLIN, 0}};
    timespec timeout{0, 0};
    if (deadline) {
        const auto left = std::max(*deadline - Clock::now(), Clock::duration::zero());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
        timeout.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    if (ppoll(fds, 2, &timeout, nullptr) <= 0 || (fds[0].revents == 0)) return control_.isOpen();

    std::vector<std::string> lines;
    const ControlClient::Input state = control_.readLines(lines);
    for (const std::string& line : lines)
        handleLine(line);
    return state == ControlClient::Input::Open;
}

void PhoneSession::handleLine(const std::string& line) {
    if (const std::optional<uint64_t> id = ControlLine::echoedPingId(line)) {
        const auto it = pendingPings_.find(*id);
        if (it != pendingPings_.end()) {
            summary_.rtt.add(msBetween(it->second, Clock::now()));
            pendingPings_.erase(it);
        }
        return;
    }
    lastReply_ = line;
}

void PhoneSession::maybePing(Clock::time_point now) {
    if (now < nextPing_) return;
    sendPing(now);
    nextPing_ = now + kPingInterval;
}

uint64_t PhoneSession::sendPing(Clock::time_point now) {
    const uint64_t id = nextPingId_++;
    pendingPings_[id] = now;
    // A ping that never came back is forgotten after a while.
    while (pendingPings_.size() > 16)
        pendingPings_.erase(pendingPings_.begin());
    control_.sendLine(ControlLine::ping(id));
    return id;
}

void PhoneSession::linger() {
    const uint64_t drainPing = sendPing(Clock::now());
    const auto echoDeadline = Clock::now() + kDrainEchoTimeout;
    while (pendingPings_.count(drainPing) != 0 && Clock::now() < echoDeadline && !signals_.stopRequested()) {
        if (!waitAndServe(echoDeadline)) return;
    }
    const auto until = Clock::now() + kLingerAfterEcho;
    while (Clock::now() < until && !signals_.stopRequested()) {
        if (!waitAndServe(until)) return;
    }
}

void PhoneSession::showStatus(Clock::time_point now) {
    if (!status_.enabled() || now < nextStatus_) return;
    nextStatus_ = now + kStatusInterval;
    char text[256];
    std::snprintf(text, sizeof text,
                  "streaming to %s  %.1f s  seq %u  sent %" PRIu64 "  dropped %" PRIu64
                  "  round trip %.1f ms",
                  settings_.name.empty() ? settings_.host.c_str() : settings_.name.c_str(),
                  static_cast<double>(producedFrames_) / kRate, summary_.lastSeq, summary_.datagrams,
                  summary_.dropped, summary_.rtt.lastMs);
    status_.show(text);
}
