#pragma once

#include <avahi-common/watch.h>

#include <QString>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>

// The TCP port that carries the DNS-SD registration. It listens on a port of the
// kernel's choice (IPv6 with IPv4 mapped, or IPv4 alone where IPv6 is off). Every
// connection is accepted and closed `hold` later; nothing is read or written. At
// most kMaxHeld connections are held at once and further ones are closed at
// once, so a flood of connections cannot use up the application's descriptors.
//
// Runs on an AvahiPoll: create, use and destroy it only where that poll's
// callbacks cannot run at the same time (on the poll's own thread, or holding the
// threaded poll's lock). Destruction closes the port and every held connection.
class HoldingListener {
public:
    static constexpr std::chrono::milliseconds kHold{3000};
    static constexpr size_t kMaxHeld = 64;

    // Null, with the reason in *error, when no port can be opened.
    static std::unique_ptr<HoldingListener> open(const AvahiPoll* poll, QString* error,
                                                 std::chrono::milliseconds hold = kHold);
    ~HoldingListener();
    HoldingListener(const HoldingListener&) = delete;
    HoldingListener& operator=(const HoldingListener&) = delete;

    uint16_t port() const { return port_; }
    size_t heldConnections() const { return held_.size(); }

private:
    struct Held {
        int fd = -1;
        AvahiTimeout* timeout = nullptr;
        HoldingListener* owner = nullptr;
    };

    HoldingListener(const AvahiPoll* poll, int fd, uint16_t port, std::chrono::milliseconds hold);
    static void onReadable(AvahiWatch* watch, int fd, AvahiWatchEvent event, void* userdata);
    static void onHoldOver(AvahiTimeout* timeout, void* userdata);
    static void onPauseOver(AvahiTimeout* timeout, void* userdata);
    void acceptAll();
    void pauseAccepting();
    void release(std::list<Held>::iterator it);

    const AvahiPoll* poll_;
    int fd_;
    uint16_t port_;
    std::chrono::milliseconds hold_;
    static constexpr unsigned kAcceptPauseMs = 1000;

    AvahiWatch* watch_ = nullptr;
    AvahiTimeout* pause_ = nullptr;
    std::list<Held> held_;  // stable addresses: each timeout points at its entry
};
