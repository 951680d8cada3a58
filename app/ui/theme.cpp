#include "theme.h"

namespace Theme {

namespace {
QColor rgb(int r, int g, int b, double opacity = 1.0) {
    QColor c(r, g, b);
    c.setAlphaF(static_cast<float>(opacity));
    return c;
}
}  // namespace

const QColor& background() {
    static const QColor c = rgb(11, 15, 20);
    return c;
}
const QColor& surface() {
    static const QColor c = rgb(20, 27, 34);
    return c;
}
const QColor& accent() {
    static const QColor c = rgb(94, 234, 212);
    return c;
}
const QColor& danger() {
    static const QColor c = rgb(248, 113, 113);
    return c;
}
const QColor& textPrimary() {
    static const QColor c = rgb(255, 255, 255);
    return c;
}
const QColor& textSecondary() {
    static const QColor c = rgb(255, 255, 255, 0.62);
    return c;
}
const QColor& cardWhite() {
    static const QColor c = rgb(255, 255, 255);
    return c;
}

QColor withOpacity(const QColor& color, double opacity) {
    QColor c = color;
    c.setAlphaF(static_cast<float>(color.alphaF() * opacity));
    return c;
}

}  // namespace Theme
