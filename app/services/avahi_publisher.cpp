#include "avahi_publisher.h"

#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/timeval.h>

#include "system_log.h"

namespace {

QString errorText(int error) {
    return QString::fromUtf8(avahi_strerror(error));
}

}  // namespace

QByteArray AvahiPublisher::truncateUtf8(const QByteArray& utf8, int maxBytes) {
    if (utf8.size() <= maxBytes) return utf8;
    qsizetype end = maxBytes;
    // Step back over continuation bytes (10xxxxxx) to the start of the cut character.
    while (end > 0 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80)
        --end;
    return utf8.left(end);
}

AvahiPublisher::AvahiPublisher(const AvahiPoll* poll, const QString& name, uint16_t port, Events events)
    : poll_(poll),
      serviceName_(truncateUtf8(name.toUtf8(), kMaxServiceNameBytes)),
      txtName_(truncateUtf8(name.toUtf8(), kMaxTxtValueBytes)),
      port_(port),
      events_(std::move(events)) {}

AvahiPublisher::~AvahiPublisher() {
    if (retry_) poll_->timeout_free(retry_);
    if (client_) avahi_client_free(client_);  // frees the group: the daemon withdraws the service
}

void AvahiPublisher::connect() {
    if (events_.serviceNameChanged) events_.serviceNameChanged(QString::fromUtf8(serviceName_));
    createClient();
}

void AvahiPublisher::createClient() {
    int error = 0;
    // NO_FAIL: without a daemon the client waits for it instead of failing.
    // The state callback may run inside this call, before client_ is set.
    client_ = avahi_client_new(poll_, AVAHI_CLIENT_NO_FAIL, &AvahiPublisher::onClientState, this, &error);
    if (!client_) {        // no system bus either
        group_ = nullptr;  // a group made by a callback inside the call died with the client
        reportStartFailure(error);
        scheduleRetry(kRetryMs);
    }
}

void AvahiPublisher::onClientState(AvahiClient* client, AvahiClientState state, void* userdata) {
    static_cast<AvahiPublisher*>(userdata)->clientStateChanged(client, state);
}

void AvahiPublisher::clientStateChanged(AvahiClient* client, AvahiClientState state) {
    switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            everRunning_ = true;
            interruptionLogged_ = false;
            registerService(client);
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host name is being (re)negotiated; register again once running.
            if (group_) avahi_entry_group_reset(group_);
            setAdvertising(false);
            break;
        case AVAHI_CLIENT_CONNECTING:
            setAdvertising(false);
            reportStartFailure(AVAHI_ERR_NO_DAEMON);
            break;
        case AVAHI_CLIENT_FAILURE: {
            const int error = avahi_client_errno(client);
            setAdvertising(false);
            if (everRunning_ && !interruptionLogged_) {
                SystemLog::write(QStringLiteral("Bonjour advertising interrupted: ") + errorText(error));
                interruptionLogged_ = true;
            }
            reportStartFailure(error);
            // A disconnected client never recovers: make a new one, outside this
            // callback, which waits for the daemon to come back.
            scheduleRetry(error == AVAHI_ERR_DISCONNECTED ? 0 : kRetryMs);
            break;
        }
    }
}

void AvahiPublisher::registerService(AvahiClient* client) {
    if (!group_) {
        group_ = avahi_entry_group_new(client, &AvahiPublisher::onGroupState, this);
        if (!group_) {
            reportStartFailure(avahi_client_errno(client));
            return;
        }
    }
    if (!avahi_entry_group_is_empty(group_)) return;

    constexpr int kMaxRenames = 100;
    for (int attempt = 0; attempt < kMaxRenames; ++attempt) {
        AvahiStringList* txt = avahi_string_list_new("ver=1", ("name=" + txtName_).constData(), nullptr);
        int r = avahi_entry_group_add_service_strlst(
            group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, static_cast<AvahiPublishFlags>(0),
            serviceName_.constData(), kServiceType, nullptr, nullptr, port_, txt);
        avahi_string_list_free(txt);
        if (r == AVAHI_ERR_COLLISION) {  // another program on this machine has the name
            rename();
            avahi_entry_group_reset(group_);
            continue;
        }
        if (r >= 0) r = avahi_entry_group_commit(group_);
        if (r < 0 && everRunning_)
            SystemLog::write(QStringLiteral("Bonjour advertising failed: ") + errorText(r));
        else if (r < 0)
            reportStartFailure(r);
        return;
    }
}

void AvahiPublisher::rename() {
    char* alternative = avahi_alternative_service_name(serviceName_.constData());
    if (!alternative) return;
    serviceName_ = truncateUtf8(QByteArray(alternative), kMaxServiceNameBytes);
    avahi_free(alternative);
    if (events_.serviceNameChanged) events_.serviceNameChanged(QString::fromUtf8(serviceName_));
}

void AvahiPublisher::onGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata) {
    static_cast<AvahiPublisher*>(userdata)->groupStateChanged(group, state);
}

void AvahiPublisher::groupStateChanged(AvahiEntryGroup* group, AvahiEntryGroupState state) {
    switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            setAdvertising(true);
            break;
        case AVAHI_ENTRY_GROUP_COLLISION:  // a host on the network has the name
            setAdvertising(false);
            rename();
            avahi_entry_group_reset(group);
            registerService(avahi_entry_group_get_client(group));
            break;
        case AVAHI_ENTRY_GROUP_FAILURE: {
            setAdvertising(false);
            AvahiClient* client = avahi_entry_group_get_client(group);
            // A lost daemon is reported by the client state; this is a failure of its own.
            if (avahi_client_get_state(client) == AVAHI_CLIENT_S_RUNNING)
                SystemLog::write(QStringLiteral("Bonjour advertising failed: ") +
                                 errorText(avahi_client_errno(client)));
            break;
        }
        case AVAHI_ENTRY_GROUP_UNCOMMITED:
        case AVAHI_ENTRY_GROUP_REGISTERING:
            setAdvertising(false);
            break;
    }
}

void AvahiPublisher::scheduleRetry(unsigned delayMs) {
    if (retry_) return;
    timeval when{};
    avahi_elapse_time(&when, delayMs, 0);
    retry_ = poll_->timeout_new(poll_, &when, &AvahiPublisher::onRetry, this);
}

void AvahiPublisher::onRetry(AvahiTimeout*, void* userdata) {
    auto* self = static_cast<AvahiPublisher*>(userdata);
    self->poll_->timeout_free(self->retry_);
    self->retry_ = nullptr;
    if (self->client_) {
        avahi_client_free(self->client_);
        self->client_ = nullptr;
        self->group_ = nullptr;
    }
    self->createClient();
}

void AvahiPublisher::reportStartFailure(int error) {
    if (everRunning_ || startFailureLogged_) return;
    startFailureLogged_ = true;
    SystemLog::write(QStringLiteral("Bonjour advertising failed to start: ") + errorText(error));
}

void AvahiPublisher::setAdvertising(bool established) {
    if (events_.advertisingChanged) events_.advertisingChanged(established);
}
