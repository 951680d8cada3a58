#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "control_client.h"
#include "datagram_socket.h"
#include "impairment.h"
#include "packet_dump.h"
#include "packet_source.h"
#include "send_schedule.h"
#include "signal_watch.h"
#include "sonvale_protocol.h"
#include "status_line.h"

struct PhoneSettings {
    std::string host = "127.0.0.1";
    uint16_t audioPort = sonvale::kAudioPort;
    uint16_t controlPort = sonvale::kControlPort;
    std::string pin;
    std::string name;  // the computer's name from a pairing URL; shown only
    std::optional<int> mode;
    bool burst = false;
    uint32_t startSeq = 0;
    double durationSeconds = 0;         // 0: the whole source
    double connectTimeoutSeconds = 30;  // 0: wait for ever
    ImpairmentSettings impairment;
    std::string dumpPath;
};

struct RoundTrips {
    uint64_t count = 0;
    double minMs = 0, maxMs = 0, sumMs = 0, lastMs = 0;
    void add(double ms);
};

struct PhoneSummary {
    enum class Result { Finished, Stopped, WrongPin, Unreachable, Failed };
    Result result = Result::Finished;
    std::string message;  // why, for anything but Finished and Stopped
    uint64_t packets = 0;
    uint64_t frames = 0;  // audio streamed, lost packets included
    uint64_t datagrams = 0;
    uint64_t dropped = 0;
    uint64_t reordered = 0;
    uint64_t duplicated = 0;
    uint64_t sendErrors = 0;
    uint64_t reconnects = 0;
    uint32_t firstSeq = 0;
    uint32_t lastSeq = 0;
    RoundTrips rtt;
};

// Plays the phone: connects to the engine's control port (waiting and retrying
// while the engine is not there), passes the hello, then sends the source's
// packets as audio datagrams paced against an absolute clock, through the
// simulated network. Pings once a second while connected. When the engine goes
// away mid-stream it pauses, reconnects and resumes with the following packets.
// Single-threaded: one wait on the control socket and the stop signals drives it.
class PhoneSession {
public:
    PhoneSession(PhoneSettings settings, PacketSource& source, SignalWatch& signals, StatusLine& status);

    PhoneSummary run();

private:
    using Clock = std::chrono::steady_clock;
    enum class Link { Ready, Stopped, WrongPin, Unreachable };
    enum class StreamEnd { Finished, Stopped, EngineLost, Failed };

    Link connectAndGreet();
    StreamEnd stream();
    void produceDue();
    void sendTransmission(Transmission t);
    // Waits until deadline (or only polls, when deadline is null) for control
    // input or a stop; false when the engine closed the connection.
    bool waitAndServe(std::optional<Clock::time_point> deadline);
    void handleLine(const std::string& line);
    void maybePing(Clock::time_point now);
    uint64_t sendPing(Clock::time_point now);
    void linger();
    void showStatus(Clock::time_point now);
    int64_t nominalNs(uint64_t frames) const;
    bool sourceDone() const;

    PhoneSettings settings_;
    PacketSource& source_;
    SignalWatch& signals_;
    StatusLine& status_;
    Impairment impairment_;
    SendSchedule schedule_;
    ControlClient control_;
    DatagramSocket audio_;
    PacketDump dump_;
    sockaddr_in controlAddress_{};
    PhoneSummary summary_;

    bool sourceEnded_ = false;
    uint64_t producedFrames_ = 0;
    uint64_t durationFrames_ = 0;  // 0: no limit
    bool warnedLongPacket_ = false;
    Clock::time_point anchor_;  // wall time of stream time 0
    Clock::time_point nextPing_;
    Clock::time_point nextStatus_;
    uint64_t nextPingId_ = 1;
    std::map<uint64_t, Clock::time_point> pendingPings_;
    std::string lastReply_;  // the newest line from the engine that was not a ping echo
};
