#pragma once

#include <QColor>
#include <QDateTime>
#include <QString>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "audio_monitor.h"
#include "engine_state.h"
#include "gateway_event.h"
#include "system_watch.h"

class CapsuleButton;
class EngineController;
class LevelBar;
class QBoxLayout;
class QLabel;
class QSpacerItem;
class QVBoxLayout;
class QrCard;
class StatusDot;
class StreamDiagnosticsView;
class SymbolLabel;

// The main window's content: the pairing QR code, the address and PIN with a
// button that copies the pairing URL, the engine's state with a start/stop
// button, whether the "Tarnwell" microphone exists, and the input level with a
// speaker test. Under the code a choice between the phone app's code (the
// default) and the browser link's code; with the browser chosen, the link takes
// the address's place and the copy button copies it. The choice is remembered
// across launches (WindowSettings).
//
// Created each time the window opens, with a monitor of its own; appear() when it
// comes on screen (refresh, engine start, monitor start), disappear() when it
// leaves (monitor stop; the engine keeps running). Host, computer name and device
// presence follow the system while the window is open (SystemWatch). Without a
// usable address the card shows no code but says that there is no network.
// Main thread only.
//
// Under the PIN, while pairing is paused (showPairingPaused()), a line says so.
// Under that, the phones whose browsers paired (showPairedPhones()), each with
// when it was last seen and a Forget button (AppDelegate::forgetPhone: the
// gateway sees the file change, ends that phone's stream and lists the phones
// again); hidden while there are none.
//
// Above the meter one line says which phone streams and how: a browser, as the
// gateway tells (showBrowserStream()), or otherwise the phone app, known only
// from audio arriving in the ring (the engine tells nothing more of its phones).
//
// setCompact() fits it to a short screen (a laptop's 768 px with a panel):
// smaller code, tighter spacing, no header (the window's title names it), the
// copy button beside the PIN, the remembered phones folded.
//
// Children that tests look at carry object names: "qrCard", "hostText",
// "pinText", "copyButton", "statusDot", "statusText", "engineButton",
// "deviceIcon", "deviceText", "testButton", "levelBar", "echoWarning",
// "levelSection", "engineRow", "phoneAppChoice", "browserChoice",
// "pairingPaused", "pairedPhones" (rows "phoneName", "phoneLastSeen",
// "forgetButton"), "forgetError", "streamingText", "phoneListToggle".
class ContentView : public QWidget {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kCopiedDuration{1600};
    static constexpr int kMinimumWidth = 420;
    static constexpr int kMinimumHeight = 640;
    static constexpr int kPadding = 28;
    static constexpr int kSpacing = 22;
    static constexpr int kCompactPadding = 16;
    static constexpr int kCompactSpacing = 10;

    explicit ContentView(EngineController& engine, QWidget* parent = nullptr);
    ~ContentView() override;

    void appear();
    void disappear();

    enum class Choice { PhoneApp, Browser };

    // The phone app's URL and the browser sender's link; the card shows the code
    // of the chosen one and the copy button copies it.
    QString pairingURL() const;
    QString browserURL() const;
    // Empty while this computer has no usable address.
    QString host() const { return facts().address.value_or(QString()); }
    bool devicePresent() const { return facts().devicePresent; }
    Choice choice() const { return choice_; }
    void choose(Choice choice);
    bool copied() const { return copied_; }
    AudioMonitor& monitor() { return monitor_; }
    // Under the level: how the phone's stream goes (StreamDiagnosticsView).
    StreamDiagnosticsView* diagnostics() const { return diagnostics_; }

    static QString statusText(const EngineState& state);
    // browserPhone: set while a browser streams (its name, or empty when unknown);
    // audioArrives: the ring is being written.
    static QString streamingText(const std::optional<QString>& browserPhone, bool audioArrives);
    // "Someone on the network is trying PINs: pairing paused until HH:MM", in
    // local time on the 24-hour clock.
    static QString pairingPausedText(const QDateTime& until);

    // until invalid: pairing is open, the line is hidden.
    void showPairingPaused(const QDateTime& until);
    void showPairedPhones(const std::vector<GatewayEvent::Phone>& phones);
    // phone: set while a browser streams, to its name (empty when unknown).
    void showBrowserStream(const std::optional<QString>& phone);
    void setCompact(bool compact);
    bool compact() const { return compact_; }
    static QColor statusColor(const EngineState& state);

    // Never smaller than 420 x 640, nor than what the content needs.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

private:
    const SystemWatch::Facts& facts() const { return watch_.facts(); }
    void refresh();
    void copyURL();
    void toggleEngine();
    void setCopied(bool copied);
    void addGap(int full, int compact);

    QWidget* header();
    QWidget* qrCard();
    QWidget* choiceRow();
    QWidget* addressRow();
    QWidget* phonesSection();
    void forget(const QString& id, CapsuleButton* button);
    QWidget* engineRow();
    QWidget* deviceNote();
    QWidget* levelSection();

    void showPairing();
    void showEngineState();
    void showDevice();
    void showCopied();
    void showTesting();
    void showStreaming();
    void showPhoneList();

    EngineController& engine_;
    AudioMonitor monitor_;
    SystemWatch watch_;
    Choice choice_;
    bool copied_ = false;
    bool compact_ = false;
    bool phoneListOpen_ = false;
    std::optional<QString> browserPhone_;
    // The fixed gaps between the sections, each with its size in either layout.
    struct Gap {
        QSpacerItem* item;
        int full;
        int compact;
    };
    std::vector<Gap> gaps_;
    QVBoxLayout* root_ = nullptr;
    QWidget* header_ = nullptr;
    QBoxLayout* pinRow_ = nullptr;
    QLabel* streamingText_ = nullptr;
    QWidget* phoneList_ = nullptr;
    CapsuleButton* phoneListToggle_ = nullptr;

    QrCard* qrCard_ = nullptr;
    CapsuleButton* phoneAppChoice_ = nullptr;
    CapsuleButton* browserChoice_ = nullptr;
    QLabel* hostText_ = nullptr;
    QLabel* pinText_ = nullptr;
    CapsuleButton* copyButton_ = nullptr;
    StatusDot* statusDot_ = nullptr;
    QLabel* statusText_ = nullptr;
    CapsuleButton* engineButton_ = nullptr;
    SymbolLabel* deviceIcon_ = nullptr;
    QLabel* deviceText_ = nullptr;
    CapsuleButton* testButton_ = nullptr;
    LevelBar* levelBar_ = nullptr;
    QLabel* echoWarning_ = nullptr;
    StreamDiagnosticsView* diagnostics_ = nullptr;
    QLabel* pairingPaused_ = nullptr;
    QLabel* certificateNote_ = nullptr;
    QWidget* phonesSection_ = nullptr;
    QVBoxLayout* phoneRows_ = nullptr;
    QLabel* forgetError_ = nullptr;
};
