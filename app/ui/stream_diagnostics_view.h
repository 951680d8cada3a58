#pragma once

#include <QWidget>

#include "stream_figures.h"

class QLabel;

// A compact line of how the phone's stream goes ("Lost 0/s · Late 0/s ·
// Jitter 3 ms · Delay 80 ms"); clicking it opens the totals since the stream
// began, clicking again closes them. Hidden while no stream runs, so the idle
// window keeps its layout. Children for tests: "diagnosticsLine",
// "diagnosticsDetail".
class StreamDiagnosticsView : public QWidget {
    Q_OBJECT

public:
    explicit StreamDiagnosticsView(QWidget* parent = nullptr);

    void showFigures(const StreamFigures& figures);
    bool isOpen() const { return open_; }
    void setOpen(bool open);

private:
    void showLine();

    QLabel* line_;
    QLabel* detail_;
    StreamFigures figures_;
    bool open_ = false;
};
