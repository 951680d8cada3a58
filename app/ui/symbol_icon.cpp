#include "symbol_icon.h"

#include <QPainter>
#include <QPainterPathStroker>
#include <QPolygonF>
#include <QTransform>

#include <cmath>
#include <numbers>

#include "theme.h"

namespace SymbolIcon {

namespace {

// Symbols are designed on a 100 x 100 grid: boolean operations flatten curves at
// a fixed absolute tolerance, so a unit square would make circles into polygons.
constexpr double kUnits = 100;

// A polyline or arc of the given width as a filled outline with round ends.
QPainterPath stroked(const QPainterPath& line, double width) {
    QPainterPathStroker stroker;
    stroker.setWidth(width);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    return stroker.createStroke(line).simplified();
}

QPainterPath check(QPointF a, QPointF b, QPointF c, double width) {
    QPainterPath line(a);
    line.lineTo(b);
    line.lineTo(c);
    return stroked(line, width);
}

QPainterPath microphone() {
    QPainterPath body;
    body.addRoundedRect(QRectF(34.0, 4.0, 32.0, 58.0), 16.0, 16.0);
    QPainterPath stand;
    stand.moveTo(20.0, 44.0);
    stand.cubicTo(20.0, 95.0, 80.0, 95.0, 80.0, 44.0);
    stand.moveTo(50.0, 82.0);
    stand.lineTo(50.0, 94.0);
    stand.moveTo(34.0, 95.0);
    stand.lineTo(66.0, 95.0);
    return body.united(stroked(stand, 8.0));
}

QPainterPath seal() {
    // Sixteen scallops around the centre.
    QPolygonF points;
    constexpr int kPoints = 32;
    for (int i = 0; i < kPoints; ++i) {
        const double angle = 2 * std::numbers::pi * i / kPoints;
        const double r = i % 2 == 0 ? 50.0 : 43.0;
        points << QPointF(50.0 + r * std::cos(angle), 50.0 + r * std::sin(angle));
    }
    QPainterPath outline;
    outline.addPolygon(points);
    outline.closeSubpath();
    // Rounding the corners: the outline widened by a round stroke.
    QPainterPath shape = outline.united(stroked(outline, 5.0));
    return shape.subtracted(check({33.0, 51.0}, {45.0, 63.0}, {68.0, 38.0}, 9.0));
}

QPainterPath warning() {
    QPainterPath triangle;
    triangle.moveTo(50.0, 10.0);
    triangle.lineTo(92.0, 86.0);
    triangle.lineTo(8.0, 86.0);
    triangle.closeSubpath();
    QPainterPath shape = triangle.united(stroked(triangle, 12.0));
    QPainterPath mark;
    mark.moveTo(50.0, 36.0);
    mark.lineTo(50.0, 60.0);
    QPainterPath cut = stroked(mark, 10.0);
    cut.addEllipse(QPointF(50.0, 76.0), 6.0, 6.0);
    return shape.subtracted(cut);
}

QPainterPath checkCircle() {
    QPainterPath circle;
    circle.addEllipse(QRectF(2.0, 2.0, 96.0, 96.0));
    return circle.subtracted(check({29.0, 52.0}, {43.0, 66.0}, {71.0, 36.0}, 10.0));
}

QPainterPath documents() {
    const QRectF front(30.0, 26.0, 58.0, 70.0);
    const QRectF back(12.0, 4.0, 58.0, 70.0);
    QPainterPath frontOutline;
    frontOutline.addRoundedRect(front, 10.0, 10.0);
    QPainterPath backOutline;
    backOutline.addRoundedRect(back, 10.0, 10.0);
    QPainterPath frontArea;
    frontArea.addRoundedRect(front.adjusted(-10.0, -10.0, 10.0, 10.0), 18.0, 18.0);
    const QPainterPath frontStroke = stroked(frontOutline, 8.0);
    const QPainterPath backStroke = stroked(backOutline, 8.0).subtracted(frontArea);
    return frontStroke.united(backStroke);
}

QPainterPath speaker(bool filled) {
    QPainterPath cone;
    cone.moveTo(6.0, 37.0);
    cone.lineTo(20.0, 37.0);
    cone.lineTo(42.0, 16.0);
    cone.lineTo(42.0, 84.0);
    cone.lineTo(20.0, 63.0);
    cone.lineTo(6.0, 63.0);
    cone.closeSubpath();
    QPainterPath shape = filled ? cone.united(stroked(cone, 6.0)) : stroked(cone, 7.0);
    QPainterPath waves;
    waves.arcMoveTo(QRectF(30.0, 30.0, 40.0, 40.0), 50);
    waves.arcTo(QRectF(30.0, 30.0, 40.0, 40.0), 50, -100);
    waves.arcMoveTo(QRectF(20.0, 14.0, 72.0, 72.0), 55);
    waves.arcTo(QRectF(20.0, 14.0, 72.0, 72.0), 55, -110);
    return shape.united(stroked(waves, 8.0));
}

QPainterPath designed(Symbol symbol) {
    switch (symbol) {
        case Symbol::MicFill:
            return microphone();
        case Symbol::SealCheckFill:
            return seal();
        case Symbol::WarningFill:
            return warning();
        case Symbol::CheckCircleFill:
            return checkCircle();
        case Symbol::DocOnDoc:
            return documents();
        case Symbol::SpeakerWave2:
            return speaker(false);
        case Symbol::SpeakerWave2Fill:
            return speaker(true);
    }
    return {};
}

}  // namespace

QPainterPath path(Symbol symbol) {
    return QTransform::fromScale(1.0 / kUnits, 1.0 / kUnits).map(designed(symbol));
}

void paint(QPainter& painter, Symbol symbol, const QRectF& box, const QColor& color) {
    const double side = std::min(box.width(), box.height());
    const QRectF square(box.center().x() - side / 2, box.center().y() - side / 2, side, side);
    QTransform toBox;
    toBox.translate(square.x(), square.y());
    toBox.scale(side, side);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawPath(toBox.map(path(symbol)));
    painter.restore();
}

QPixmap pixmap(Symbol symbol, int size, const QColor& color, qreal devicePixelRatio) {
    const int pixels = static_cast<int>(std::ceil(size * devicePixelRatio));
    QPixmap out(pixels, pixels);
    out.setDevicePixelRatio(devicePixelRatio);
    out.fill(Qt::transparent);
    QPainter painter(&out);
    paint(painter, symbol, QRectF(0, 0, size, size), color);
    return out;
}

QIcon icon(Symbol symbol, const QColor& color) {
    QIcon out;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        out.addPixmap(pixmap(symbol, size, color));
    return out;
}

QIcon appIcon() {
    QIcon out;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        QPixmap badge(size, size);
        badge.fill(Qt::transparent);
        QPainter painter(&badge);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::background());
        const double corner = size * 0.22;
        painter.drawRoundedRect(QRectF(0, 0, size, size), corner, corner);
        const double inset = size * 0.18;
        paint(painter, Symbol::MicFill, QRectF(inset, inset, size - 2 * inset, size - 2 * inset),
              Theme::accent());
        painter.end();
        out.addPixmap(badge);
    }
    return out;
}

}  // namespace SymbolIcon
