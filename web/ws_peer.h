#pragma once

#include <QWebSocket>

#include "peer.h"

class GatewayCore;

// A page on a WebSocket: each binary message is one transport unit. Tells the
// core when the socket closes and then deletes itself.
class WsPeer : public Peer {
    Q_OBJECT
public:
    WsPeer(QWebSocket* socket, GatewayCore& core);

    void send(const std::vector<uint8_t>& message) override;
    void finish() override;
    uint32_t address() const override;

private:
    QWebSocket* socket_;
    GatewayCore& core_;
};
