#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "engine_link.h"
#include "hello_guard.h"
#include "page_message.h"
#include "pcm_encoder.h"
#include "peer.h"
#include "playout_buffer.h"

// What the gateway does with the pages' messages, whatever carried them:
// - a page says Hello within 10 s or is ended; the PIN is checked against the
//   gateway's own with the engine's guard against guessing (per address);
// - one page streams at a time; another is told so and ended;
// - the streaming page's chunks (PCM encoded here) go through the playout
//   buffer and leave as the engine's datagrams on a steady 20 ms clock,
//   numbered from the wall clock, then on from session to session, so a
//   session never falls below what an engine has already played;
// - the engine link is opened with the stream and closed with it; its state
//   reaches the page as a sentence.
// Main thread only.
class GatewayCore : public QObject {
    Q_OBJECT
public:
    GatewayCore(QString pin, QString computerName, QObject* parent = nullptr);
    ~GatewayCore() override;

    void attach(Peer* peer);
    void receive(Peer* peer, const uint8_t* data, size_t size);
    void detach(Peer* peer);
    bool streaming() const { return stream_ != nullptr; }

signals:
    // For the operator: a browser started or stopped streaming; at the end,
    // detail tells how the playout went.
    void streamingChanged(bool streaming, const QString& detail);
    void pairingPaused(const QDateTime& until);
    void pairingResumed();

private:
    struct Session {
        QPointer<Peer> peer;
        PageMessage::Reader reader;
        QElapsedTimer sinceLastMessage;
        bool ended = false;  // told to go: nothing more is taken from it
    };
    struct Stream;

    Session* find(Peer* peer);
    void handle(Session& session, const PageMessage::Message& message);
    void hello(Session& session);
    void fail(Session& session, uint8_t code, const QString& sentence);
    void endStream();
    void housekeeping();
    void tick();
    void engineStateChanged(EngineLink::State state);

    QString pin_;
    QString computerName_;
    HelloGuard guard_;
    std::vector<std::unique_ptr<Session>> sessions_;
    std::unique_ptr<Stream> stream_;
    std::optional<uint32_t> nextSequence_;
    EngineLink engine_;
    QTimer housekeeping_;
    QTimer clock_;
};
