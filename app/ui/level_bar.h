#pragma once

#include <QVariantAnimation>
#include <QWidget>

// The input level as a bar: a track over the whole width and a fill from the
// leading edge of width max(0, W x level). A new level is reached by a 50 ms
// linear animation from the width shown at that moment.
class LevelBar : public QWidget {
    Q_OBJECT

public:
    static constexpr int kHeight = 12;
    static constexpr double kRadius = 6;
    static constexpr int kAnimationMs = 50;

    explicit LevelBar(QWidget* parent = nullptr);

    // The fill's width for a bar barWidth wide.
    static double fillWidth(double barWidth, double level);

    void setLevel(double level);
    // The level asked for last.
    double level() const { return level_; }
    // The width of the fill drawn now (mid-animation: between the old and new width).
    double shownFillWidth() const { return fillWidth(width(), shown_); }

    QSize sizeHint() const override { return {100, kHeight}; }
    QSize minimumSizeHint() const override { return {0, kHeight}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVariantAnimation animation_;
    double level_ = 0;
    double shown_ = 0;
};
