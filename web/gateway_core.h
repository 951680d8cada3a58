#pragma once

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

#include "engine_link.h"
#include "gateway_stats.h"
#include "page_clock.h"
#include "page_message.h"
#include "paired_phones.h"
#include "pcm_encoder.h"
#include "peer.h"
#include "session_policy.h"
#include "stream_clock.h"
#include "trace_log.h"

// What the gateway does with the pages' messages, whatever carried them: reads
// them, asks the session policy (session_policy.h: hello, PIN, one stream,
// silence, the pairing pause) what to do, and carries it out. The streaming
// page's chunks (PCM encoded here) go to the stream clock and leave as the
// engine's datagrams; the engine link is opened with the stream and closed
// with it, and its state reaches the page as a sentence. Every ending the page
// did not ask for reaches it as an Error with a sentence.
// Phones: a page welcomed for the PIN is paired (PairedPhones) and given its
// token after the Welcome; a Hello with a token is looked up there. A phone
// forgotten while its page is connected is ended at once (UnknownToken).
// Main thread only.
class GatewayCore : public QObject {
    Q_OBJECT
public:
    // phones must outlive the core.
    GatewayCore(QString pin, QString computerName, PairedPhones& phones, QObject* parent = nullptr);
    ~GatewayCore() override;

    void attach(Peer* peer);
    void receive(Peer* peer, const uint8_t* data, size_t size);
    void detach(Peer* peer);
    bool streaming() const { return clock_.running(); }
    // True while the peer's session has been welcomed and has not ended.
    bool paired(const Peer* peer) const;
    // Ends the sessions of phones that were forgotten (their ids).
    void phonesForgotten(const QStringList& ids);

signals:
    // For the operator: a browser started or stopped streaming; at the end,
    // detail tells how the playout went.
    void streamingChanged(bool streaming, const QString& detail);
    // With a stream's start: the phone's name, "websocket" or "post", "opus" or "pcm".
    void streamStarted(const QString& phone, const QString& transport, const QString& codec);
    // A phone paired, was seen again, or its pairing failed to be saved (error).
    void phonesChanged(const QString& error);
    // Too many wrong PINs from the network: pairing by PIN is refused until
    // then (local time); the streaming page goes on.
    void pairingPaused(const QDateTime& until);
    void pairingResumed();
    // Once a second while a page streams: GatewayStats' fields.
    void statistics(const QJsonObject& stats);

private:
    struct Session {
        QPointer<Peer> peer;
        SessionPolicy::SessionId id;
        PageMessage::Reader reader;
        QString phoneId;  // once welcomed
    };

    Session* find(const Peer* peer) const;
    Session* find(SessionPolicy::SessionId id) const;
    void handle(Session& session, const PageMessage::Message& message);
    void hello(Session& session);
    void startStream(Session& session, const PageMessage::Hello& hello);
    // Ends the session: with an Error when the page did not ask for it.
    void close(Session& session, std::optional<PageMessage::ErrorCode> error);
    void endStream();
    void housekeeping();
    void engineStateChanged(EngineLink::State state);
    void sampleStats();
    void audio(const PageMessage::Message& message, std::chrono::steady_clock::time_point now);
    void sent(const std::vector<uint8_t>& datagram, uint32_t sequence, std::optional<uint64_t> chunk);
    QString pauseSentence() const;

    QString pin_;
    QString computerName_;
    PairedPhones& phones_;
    SessionPolicy policy_;
    std::vector<std::unique_ptr<Session>> sessions_;
    std::optional<SessionPolicy::SessionId> streamSession_;  // what the clock and the engine serve
    std::unique_ptr<PcmEncoder> pcm_;                        // for a PCM stream
    EngineLink engine_;
    PageClock pageClock_;          // the streaming page's
    std::optional<double> stamp_;  // the next chunk's capture time, page ms
    uint64_t chunks_ = 0;          // the page's chunks received, numbered for the trace
    TraceLog trace_{"gateway"};
    StreamClock clock_;
    QTimer housekeeping_;
    GatewayStats stats_;
    QTimer statsTimer_;
};
