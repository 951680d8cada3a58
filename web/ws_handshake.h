#pragma once

#include <QByteArray>

#include "http_request.h"

// The server's answer to a WebSocket upgrade request (RFC 6455 opening
// handshake), once the request is known to come from the gateway's own page.
// A request is accepted with `Upgrade: websocket`, `Connection` listing
// `upgrade` (any case), `Sec-WebSocket-Version: 13` and a `Sec-WebSocket-Key`
// that is the base64 of 16 bytes. No subprotocol or extension is offered.
namespace WsHandshake {

// Empty when the request is accepted; otherwise the whole answer that refuses
// it: 426 naming version 13 for another version, else 400.
QByteArray refusal(const HttpRequest& request);
// The 101 answer to a request that refusal() accepts.
QByteArray acceptance(const HttpRequest& request);
// base64(SHA-1(key + the protocol's GUID)).
QByteArray acceptKey(const QByteArray& key);

}  // namespace WsHandshake
