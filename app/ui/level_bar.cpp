#include "level_bar.h"

#include <QPainter>

#include <algorithm>

#include "theme.h"

LevelBar::LevelBar(QWidget* parent) : QWidget(parent) {
    setFixedHeight(kHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    animation_.setDuration(kAnimationMs);
    animation_.setEasingCurve(QEasingCurve::Linear);
    connect(&animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        shown_ = value.toDouble();
        update();
    });
}

double LevelBar::fillWidth(double barWidth, double level) {
    return std::max(0.0, barWidth * level);
}

void LevelBar::setLevel(double level) {
    level_ = level;
    animation_.stop();
    if (level == shown_) return;
    animation_.setStartValue(shown_);
    animation_.setEndValue(level);
    animation_.start();
}

void LevelBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QRectF track(rect());
    painter.setBrush(Theme::surface());
    painter.drawRoundedRect(track, kRadius, kRadius);

    const double fill = std::min(shownFillWidth(), track.width());
    if (fill <= 0) return;
    const double r = std::min(kRadius, fill / 2);
    painter.setBrush(Theme::accent());
    painter.drawRoundedRect(QRectF(0, 0, fill, track.height()), r, r);
}
