#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <vector>

// One page's way to the gateway, over a WebSocket or over POST requests. The
// gateway's core speaks to both alike; the transport owns the object and tells
// the core before it goes.
class Peer : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Queues a message for the page.
    virtual void send(const std::vector<uint8_t>& message) = 0;
    // Ends the session once what is queued has gone out.
    virtual void finish() = 0;
    // The page's IPv4 address in host order (0 when not IPv4), for the PIN guard.
    virtual uint32_t address() const = 0;
    // "websocket" or "post", for the operator.
    virtual const char* transport() const = 0;

    // The phone's name from its browser (phone_name.h), set by the transport.
    const QString& phoneName() const { return phoneName_; }
    void setPhoneName(const QString& name) { phoneName_ = name; }

private:
    QString phoneName_;
};
