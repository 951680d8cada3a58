#pragma once

#include <QSslSocket>
#include <QTimer>

#include "http_request.h"
#include "peer.h"
#include "ws_frame.h"

class GatewayCore;

// A page on a WebSocket: each binary message is one transport unit. Takes
// over a TLS connection whose upgrade request WsHandshake accepted and whose
// head is still unread, answers 101 and reads frames with WsFrameReader:
// - pings are answered, a close is echoed, pongs are dropped;
// - a frame that breaks a rule gets a close frame with its code, and nothing
//   more of the page is read;
// - after a close frame has gone out, the connection is ended once the page
//   echoes it or a second passes, and aborted a second after that;
// - a page that lets more than 256 KiB wait unsent is aborted.
// Tells the core when the connection closes and then deletes itself.
class WsPeer : public Peer {
    Q_OBJECT
public:
    WsPeer(QSslSocket* socket, const HttpRequest& request, GatewayCore& core);

    void send(const std::vector<uint8_t>& message) override;
    void finish() override;
    uint32_t address() const override;
    const char* transport() const override { return "websocket"; }

private:
    void onReadyRead();
    void handle(WsEvent& event);
    void write(const std::vector<uint8_t>& frame);
    void closeWith(uint16_t code);
    void hangUp();

    QSslSocket* socket_;
    GatewayCore& core_;
    WsFrameReader reader_;
    QTimer grace_;
    bool closeSent_ = false;
};
