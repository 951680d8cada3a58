#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

#include <chrono>
#include <cstdint>

#include "audio_monitor.h"
#include "engine_state.h"

class CapsuleButton;
class EngineController;
class LevelBar;
class QLabel;
class QrCard;
class StatusDot;
class SymbolLabel;

// The main window's content: the pairing QR code, the address and PIN with a
// button that copies the pairing URL, the engine's state with a start/stop
// button, whether the "Tarnwell" microphone exists, and the input level with a
// speaker test.
//
// Created each time the window opens, with a monitor of its own; appear() when it
// comes on screen (refresh, engine start, monitor start), disappear() when it
// leaves (monitor stop; the engine keeps running). Host, computer name and device
// presence are read at creation and on appear() only. Main thread only.
//
// Children that tests look at carry object names: "qrCard", "hostText",
// "pinText", "copyButton", "statusDot", "statusText", "engineButton",
// "deviceIcon", "deviceText", "testButton", "levelBar", "echoWarning",
// "levelSection", "engineRow".
class ContentView : public QWidget {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kCopiedDuration{1600};
    static constexpr int kMinimumWidth = 420;
    static constexpr int kMinimumHeight = 640;
    static constexpr int kPadding = 28;
    static constexpr int kSpacing = 22;

    explicit ContentView(EngineController& engine, QWidget* parent = nullptr);
    ~ContentView() override;

    void appear();
    void disappear();

    // The URL that the QR code shows and the copy button copies.
    QString pairingURL() const;
    QString host() const { return host_; }
    bool devicePresent() const { return devicePresent_; }
    bool copied() const { return copied_; }
    AudioMonitor& monitor() { return monitor_; }

    static QString statusText(const EngineState& state);
    static QColor statusColor(const EngineState& state);

    // Never smaller than 420 x 640, nor than what the content needs.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

private:
    void refresh();
    void copyURL();
    void toggleEngine();
    void setCopied(bool copied);

    QWidget* header();
    QWidget* qrCard();
    QWidget* addressRow();
    QWidget* engineRow();
    QWidget* deviceNote();
    QWidget* levelSection();

    void showPairing();
    void showEngineState();
    void showDevice();
    void showCopied();
    void showTesting();

    EngineController& engine_;
    AudioMonitor monitor_;
    QString host_;
    QString computerName_;
    bool copied_ = false;
    bool devicePresent_ = false;

    QrCard* qrCard_ = nullptr;
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
};
