#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "hello_guard.h"
#include "line_framer.h"

// The engine's TCP control endpoint and the gate for audio. Single-threaded and
// never blocking: the main loop calls poll() once per iteration, which accepts,
// reads every client, answers ping and hello at once and hands back at most one
// other admitted line.
//
// - Lines (ControlLine) end with LF; one CR before it is dropped; empty lines
//   are ignored.
// - ping: echoed to the sender, authenticated or not.
// - hello: checked against the PIN (ControlLine::helloCarries); a failure
//   answers hello_err and closes the connection, even one that was
//   authenticated before.
// - Any other line is queued (at most 63 wait; more are dropped) when there is no
//   PIN or the connection is authenticated, otherwise dropped.
// - At most 8 connections; a ninth is accepted and closed at once. A connection
//   holding more than 65536 unconsumed bytes is closed without a reply.
// While a PIN is set, the server also defends the pairing:
// - a peer address with 5 failed hellos within 60 s has every hello refused
//   until 60 s pass without a failure (HelloGuard);
// - a connection that has not passed a hello within 10 s of being accepted is
//   closed without a reply, so idle connections cannot hold all 8 slots;
// - audio is admitted only from the address of an authenticated connection.
class ControlServer {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Clock = std::function<TimePoint()>;

    static constexpr int kMaxClients = 8;
    static constexpr int kQueueSlots = 64;
    static constexpr size_t kMaxBuffered = 65536;
    static constexpr std::chrono::seconds kHelloTimeout{10};

    explicit ControlServer(Clock clock = [] { return std::chrono::steady_clock::now(); })
        : clock_(std::move(clock)) {}
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Listens on the wildcard address (port 0: the system chooses). False when
    // already started or when the socket cannot be set up.
    bool start(uint16_t port);
    void setPin(const std::string& pin) { pin_ = pin; }
    std::optional<std::string> poll();

    // True while audio may be admitted: always without a PIN, otherwise while at
    // least one open connection has passed a hello.
    bool hasAuthedClient() const;
    // True when a datagram from this IPv4 address (network byte order) may be
    // admitted: always without a PIN, otherwise only from the address of an open,
    // authenticated connection.
    bool admitsAudioFrom(uint32_t address) const;
    uint16_t boundPort() const { return port_; }
    int clientCount() const { return clientCount_; }
    // Hellos answered hello_ok so far: each begins a sender's stream.
    uint64_t hellosPassed() const { return hellosPassed_; }

    // What one line asks of the server, before the guard against guessing:
    // a ping echo, a hello answered ok or err, a line to queue, or nothing.
    enum class Action { Echo, HelloOk, HelloErr, Queue, Drop };
    static Action decide(std::string_view line, std::string_view pin, bool authed);

private:
    struct ClientSlot {
        int fd = -1;
        LineFramer input{kMaxBuffered};
        bool authed = false;
        uint32_t peer = 0;  // IPv4 address, network byte order
        TimePoint acceptedAt{};
    };

    // Which sockets had something waiting when poll() began, asked of the system
    // in one call; a slot whose descriptor changed since (a connection accepted
    // in this poll) is read as well.
    struct Readiness {
        bool listener = true;
        std::array<bool, kMaxClients> clients{};
        std::array<int, kMaxClients> fds{};
    };
    Readiness readiness() const;
    void acceptClients();
    void closeSilentConnections();
    void readClients(const Readiness& ready);
    void dispatch(ClientSlot& slot, std::string&& line);
    bool enqueue(std::string&& line);
    void closeSlot(ClientSlot& slot);
    static void writeToClient(int fd, std::string_view text);

    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::string pin_;
    std::array<ClientSlot, kMaxClients> clients_;
    int clientCount_ = 0;
    uint64_t hellosPassed_ = 0;
    std::array<std::string, kQueueSlots> queue_;
    int queueHead_ = 0;
    int queueTail_ = 0;
    Clock clock_;
    HelloGuard helloGuard_;
};
