#pragma once

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/watch.h>

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>

// Keeps one "_sonvale._tcp" service registered with avahi-daemon: TXT "ver=1" and
// "name=<name>", on the given port. A name collision renames the service
// ("Name #2"; the TXT name stays); when the daemon is missing at first, or goes
// away later, the service is registered as soon as the daemon is back.
//
// Logging (one line each): "Bonjour advertising failed to start: <reason>" when
// the first attempt finds no daemon or fails; "Bonjour advertising interrupted:
// <reason>" when the daemon goes away after the service was up.
//
// Runs on an AvahiThreadedPoll: construct, call and destroy it only with the
// poll's lock held (or while its thread is stopped). Its callbacks, and the
// Events it reports, run on the poll's thread. Destruction withdraws the service.
class AvahiPublisher {
public:
    static constexpr char kServiceType[] = "_sonvale._tcp";
    static constexpr int kMaxServiceNameBytes = 63;  // one DNS label
    static constexpr int kMaxTxtValueBytes = 250;    // "name=" + value within 255
    static constexpr unsigned kRetryMs = 2000;       // while no system bus answers

    struct Events {
        std::function<void(bool established)> advertisingChanged;
        std::function<void(const QString& serviceName)> serviceNameChanged;
    };

    // name: used as the service name (cut to 63 bytes) and as the TXT "name" value.
    AvahiPublisher(const AvahiPoll* poll, const QString& name, uint16_t port, Events events);
    ~AvahiPublisher();
    AvahiPublisher(const AvahiPublisher&) = delete;
    AvahiPublisher& operator=(const AvahiPublisher&) = delete;

    // Connects to the daemon and registers once it runs.
    void connect();

    // The longest prefix of utf8 that has at most maxBytes bytes and does not end
    // inside a character.
    static QByteArray truncateUtf8(const QByteArray& utf8, int maxBytes);

private:
    static void onClientState(AvahiClient* client, AvahiClientState state, void* userdata);
    static void onGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata);
    static void onRetry(AvahiTimeout* timeout, void* userdata);

    void clientStateChanged(AvahiClient* client, AvahiClientState state);
    void groupStateChanged(AvahiEntryGroup* group, AvahiEntryGroupState state);
    void createClient();
    void registerService(AvahiClient* client);
    void rename();
    void scheduleRetry(unsigned delayMs);
    void reportStartFailure(int error);
    void setAdvertising(bool established);

    const AvahiPoll* poll_;
    QByteArray serviceName_;
    QByteArray txtName_;
    uint16_t port_;
    Events events_;
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;  // owned by client_
    AvahiTimeout* retry_ = nullptr;
    bool everRunning_ = false;
    bool startFailureLogged_ = false;
    bool interruptionLogged_ = false;
};
