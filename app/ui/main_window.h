#pragma once

#include <QDateTime>
#include <QWidget>

#include <optional>
#include <vector>

#include "gateway_event.h"
#include "stream_figures.h"

class ContentView;
class EngineController;
class QScrollArea;

// The single main window "Tarnwell", dark under everything. It first opens at
// its content's size, but never taller than the screen's available area (the
// desktop's panels excluded): the content then takes its compact layout, and
// scrolls inside it only if even that is too tall. It never resizes itself
// afterwards. Its content is built each time it opens and torn
// down when it closes; closing only hides the window, the application carries
// on. Opening it while open brings it to the front.
class MainWindow : public QWidget {
    Q_OBJECT

public:
    explicit MainWindow(EngineController& engine, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Shows the window (with fresh content when it was closed) and brings it forward.
    void open();
    // The content on screen; null while the window is closed.
    ContentView* content() const { return content_; }
    // Kept for content built later too; until invalid: pairing is open.
    void showPairingPaused(const QDateTime& until);
    // Kept for content built later too.
    void showPairedPhones(const std::vector<GatewayEvent::Phone>& phones);
    // Kept for content built later too.
    void showDiagnostics(const StreamFigures& figures);
    // Kept for content built later too; phone: set while a browser streams.
    void showBrowserStream(const std::optional<QString>& phone);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void tearDownContent();
    void placeOnScreen();
    QRect availableArea() const;
    int titleBarAllowance() const;

    EngineController& engine_;
    QScrollArea* scroll_;
    ContentView* content_ = nullptr;
    bool placed_ = false;
    QDateTime pairingPausedUntil_;
    std::vector<GatewayEvent::Phone> pairedPhones_;
    StreamFigures figures_;
    std::optional<QString> browserPhone_;
};
