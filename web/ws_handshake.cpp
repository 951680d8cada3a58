#include "ws_handshake.h"

#include <QCryptographicHash>

QByteArray WsHandshake::refusal(const HttpRequest& request) {
    const QByteArray version = QByteArray::fromStdString(request.field("sec-websocket-version"));
    const auto key =
        QByteArray::fromBase64Encoding(QByteArray::fromStdString(request.field("sec-websocket-key")),
                                       QByteArray::AbortOnBase64DecodingErrors);
    if (!request.wantsWebSocket() || !key || key.decoded.size() != 16) {
        return "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    }
    if (version != "13") {
        return "HTTP/1.1 426 Upgrade Required\r\nSec-WebSocket-Version: 13\r\nContent-Length: 0\r\n"
               "Connection: close\r\n\r\n";
    }
    return {};
}

QByteArray WsHandshake::acceptance(const HttpRequest& request) {
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " +
           acceptKey(QByteArray::fromStdString(request.field("sec-websocket-key"))) + "\r\n\r\n";
}

QByteArray WsHandshake::acceptKey(const QByteArray& key) {
    return QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1)
        .toBase64();
}
