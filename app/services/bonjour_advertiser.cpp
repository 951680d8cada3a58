#include "bonjour_advertiser.h"

#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/watch.h>

#include "avahi_publisher.h"
#include "holding_listener.h"
#include "system_log.h"

void BonjourAdvertiser::PollDeleter::operator()(AvahiThreadedPoll* poll) const {
    avahi_threaded_poll_free(poll);  // stops its thread first
}

namespace {

// Holds the threaded poll's lock for main-thread work on its objects.
//
// A watch added from another thread while the poll thread sits in poll() has no
// slot in the poll set yet; if the poll thread's next dispatch walks the watches
// it trips libavahi's assertion (w->idx >= 0) and aborts. An already expired
// timeout is dispatched before any watch and the set is rebuilt before the next
// poll(), so every locked section ends by adding one that frees itself.
class PollLock {
public:
    explicit PollLock(AvahiThreadedPoll* poll) : poll_(poll) { avahi_threaded_poll_lock(poll_); }
    ~PollLock() {
        const AvahiPoll* api = avahi_threaded_poll_get(poll_);
        const timeval expired{0, 0};
        api->timeout_new(api, &expired, &PollLock::expire, const_cast<AvahiPoll*>(api));
        avahi_threaded_poll_unlock(poll_);
    }
    PollLock(const PollLock&) = delete;
    PollLock& operator=(const PollLock&) = delete;

private:
    static void expire(AvahiTimeout* timeout, void* api) {
        static_cast<AvahiPoll*>(api)->timeout_free(timeout);
    }

    AvahiThreadedPoll* poll_;
};

}  // namespace

BonjourAdvertiser::BonjourAdvertiser(QObject* parent) : QObject(parent) {
    AvahiThreadedPoll* poll = avahi_threaded_poll_new();
    if (poll && avahi_threaded_poll_start(poll) == 0)
        poll_.reset(poll);
    else if (poll)
        avahi_threaded_poll_free(poll);
}

BonjourAdvertiser::~BonjourAdvertiser() {
    // With the thread stopped, nothing runs on it and nothing is posted any more.
    if (poll_) avahi_threaded_poll_stop(poll_.get());
    publisher_.reset();
    listener_.reset();
}

void BonjourAdvertiser::start(const QString& name) {
    stop();
    if (!poll_) {
        SystemLog::write(QStringLiteral("Bonjour advertising failed to start: ") +
                         QString::fromUtf8(avahi_strerror(AVAHI_ERR_NO_MEMORY)));
        return;
    }
    const uint64_t generation = ++generation_;
    auto post = [this, generation](auto apply) {
        QMetaObject::invokeMethod(
            this,
            [this, generation, apply] {
                if (generation == generation_) apply();
            },
            Qt::QueuedConnection);
    };
    AvahiPublisher::Events events;
    events.advertisingChanged = [this, post](bool established) {
        post([this, established] { setAdvertising(established); });
    };
    events.serviceNameChanged = [this, post](const QString& serviceName) {
        post([this, serviceName] { setServiceName(serviceName); });
    };

    const AvahiPoll* api = avahi_threaded_poll_get(poll_.get());
    QString error;
    {
        const PollLock lock(poll_.get());
        listener_ = HoldingListener::open(api, &error);
        if (listener_) {
            port_ = listener_->port();
            publisher_ = std::make_unique<AvahiPublisher>(api, name, port_, std::move(events));
            publisher_->connect();
        }
    }
    if (!listener_) SystemLog::write(QStringLiteral("Bonjour advertising failed to start: ") + error);
}

void BonjourAdvertiser::stop() {
    ++generation_;
    if (poll_ && (publisher_ || listener_)) {
        const PollLock lock(poll_.get());
        publisher_.reset();
        listener_.reset();
    }
    port_ = 0;
    if (!serviceName_.isEmpty()) setServiceName({});
    setAdvertising(false);
}

void BonjourAdvertiser::setAdvertising(bool advertising) {
    isAdvertising_ = advertising;
    Q_EMIT isAdvertisingChanged(isAdvertising_);
}

void BonjourAdvertiser::setServiceName(const QString& name) {
    serviceName_ = name;
    Q_EMIT serviceNameChanged(serviceName_);
}
