#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

struct AvahiThreadedPoll;
class AvahiPublisher;
class HoldingListener;

// Makes this computer discoverable by DNS-SD: the service "_sonvale._tcp" under
// the computer's name with TXT "ver=1" and "name=<name>", registered through
// avahi-daemon and carried by a TCP port of the system's choice whose
// connections are closed after 3 s (the audio and control ports are the
// engine's own and are not advertised).
//
// - start(name) replaces any earlier advertisement; stop() withdraws it.
// - isAdvertising turns true once the daemon has established the service and
//   false on stop() or whenever the service is not established.
// - A name collision renames the service ("Name #2"); serviceName says which
//   name is registered.
// - No daemon: one "Sonvale: Bonjour advertising failed to start: ..." line and the
//   application carries on; the service is registered as soon as a daemon runs,
//   also when the daemon is restarted while the application runs.
//
// Call it from the main thread only. Avahi and the port run on the advertiser's
// own thread (an AvahiThreadedPoll); their state reaches the properties only
// through queued calls to the main thread, and reports of an advertisement that
// was replaced or stopped are dropped.
class BonjourAdvertiser : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isAdvertising READ isAdvertising NOTIFY isAdvertisingChanged)
    Q_PROPERTY(QString serviceName READ serviceName NOTIFY serviceNameChanged)

public:
    explicit BonjourAdvertiser(QObject* parent = nullptr);
    // Withdraws the advertisement and ends the advertiser's thread.
    ~BonjourAdvertiser() override;

    void start(const QString& name);
    void stop();

    bool isAdvertising() const { return isAdvertising_; }
    // The registered service name (after any rename); empty while stopped.
    QString serviceName() const { return serviceName_; }
    // The advertised TCP port; 0 while stopped.
    uint16_t port() const { return port_; }

Q_SIGNALS:
    // Sent on every assignment, also when the value does not change.
    void isAdvertisingChanged(bool advertising);
    void serviceNameChanged(const QString& name);

private:
    struct PollDeleter {
        void operator()(AvahiThreadedPoll* poll) const;
    };

    void setAdvertising(bool advertising);
    void setServiceName(const QString& name);

    std::unique_ptr<AvahiThreadedPoll, PollDeleter> poll_;
    // Both live on the poll's thread; created and destroyed holding its lock.
    std::unique_ptr<HoldingListener> listener_;
    std::unique_ptr<AvahiPublisher> publisher_;
    uint64_t generation_ = 0;  // numbers the advertisements; stale reports are dropped
    bool isAdvertising_ = false;
    QString serviceName_;
    uint16_t port_ = 0;
};
