#pragma once

#include <QWidget>

class ContentView;
class EngineController;
class QVBoxLayout;

// The single main window "Tarnwell": never smaller than 420 x 640 (nor than its
// content needs), free to grow, dark under everything. Its content is built each
// time it opens and torn down when it closes; closing only hides the window, the
// application carries on. Opening it while open brings it to the front.
class MainWindow : public QWidget {
    Q_OBJECT

public:
    explicit MainWindow(EngineController& engine, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Shows the window (with fresh content when it was closed) and brings it forward.
    void open();
    // The content on screen; null while the window is closed.
    ContentView* content() const { return content_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void tearDownContent();

    EngineController& engine_;
    QVBoxLayout* layout_;
    ContentView* content_ = nullptr;
};
