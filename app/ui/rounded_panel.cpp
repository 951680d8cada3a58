#include "rounded_panel.h"

#include <QPainter>

#include <algorithm>

RoundedPanel::RoundedPanel(const QColor& fill, double radius, QWidget* parent)
    : QWidget(parent), fill_(fill), radius_(radius) {}

double RoundedPanel::cornerRadius() const {
    const double half = std::min(width(), height()) / 2.0;
    return radius_ < 0 ? half : std::min(radius_, half);
}

void RoundedPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill_);
    const double r = cornerRadius();
    painter.drawRoundedRect(QRectF(rect()), r, r);
}
