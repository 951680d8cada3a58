#pragma once

#include <QByteArray>
#include <QElapsedTimer>

#include "peer.h"
#include "post_order.h"

// A page that reaches the gateway by POST requests (where a browser will not
// open a WebSocket to a self-signed certificate): each request body is one
// transport unit, read in the page's order (PostOrder); what the core says
// waits for the next answer.
class PostPeer : public Peer {
    Q_OBJECT
public:
    PostPeer(QByteArray token, uint32_t address) : token_(std::move(token)), address_(address) {
        lastSeen_.start();
    }

    void send(const std::vector<uint8_t>& message) override {
        outgoing_.append(reinterpret_cast<const char*>(message.data()),
                         static_cast<qsizetype>(message.size()));
    }
    void finish() override { finished_ = true; }
    uint32_t address() const override { return address_; }
    const char* transport() const override { return "post"; }

    const QByteArray& token() const { return token_; }
    bool finished() const { return finished_; }
    QByteArray takeOutgoing() { return std::exchange(outgoing_, {}); }
    void seen() { lastSeen_.restart(); }
    PostOrder& order() { return order_; }
    qint64 quietMs() const { return lastSeen_.elapsed(); }

private:
    QByteArray token_;
    uint32_t address_;
    QByteArray outgoing_;
    bool finished_ = false;
    PostOrder order_;
    QElapsedTimer lastSeen_;
};
