#include "capsule_button.h"

#include <QFocusEvent>
#include <QFontMetricsF>
#include <QPainter>

#include <algorithm>
#include <cmath>

CapsuleButton::CapsuleButton(const QFont& font, const QMargins& padding, QWidget* parent)
    : QAbstractButton(parent), padding_(padding) {
    setFont(font);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);  // a click gives no focus, so no ring after clicking
}

void CapsuleButton::setLabel(const QString& text, std::optional<Symbol> symbol) {
    const bool resized = text != this->text() || symbol.has_value() != symbol_.has_value();
    symbol_ = symbol;
    setText(text);
    if (resized) updateGeometry();
    update();
}

void CapsuleButton::setColors(const QColor& text, const QColor& background) {
    textColor_ = text;
    backgroundColor_ = background;
    update();
}

void CapsuleButton::setTextFrameWidth(int width) {
    textFrameWidth_ = width;
    updateGeometry();
}

double CapsuleButton::symbolSide() const {
    return symbol_ ? std::round(font().pixelSize() * 1.15) : 0.0;
}

double CapsuleButton::labelWidth() const {
    const double textWidth = QFontMetricsF(font()).horizontalAdvance(text());
    return symbol_ ? symbolSide() + kSymbolSpacing + textWidth : textWidth;
}

QSize CapsuleButton::sizeHint() const {
    const QFontMetricsF metrics(font());
    const double inner = textFrameWidth_ > 0 ? textFrameWidth_ : std::ceil(labelWidth());
    const double height = std::max(metrics.height(), symbolSide());
    return {static_cast<int>(inner) + padding_.left() + padding_.right(),
            static_cast<int>(std::ceil(height)) + padding_.top() + padding_.bottom()};
}

void CapsuleButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    if (!isEnabled())
        painter.setOpacity(kDisabledOpacity);
    else if (isDown())
        painter.setOpacity(0.75);

    const QRectF bounds(rect());
    const double radius = bounds.height() / 2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(backgroundColor_);
    painter.drawRoundedRect(bounds, radius, radius);
    if (keyboardFocus_ && hasFocus()) {
        QColor ring = textColor_;
        ring.setAlphaF(0.7f);
        painter.setPen(QPen(ring, 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(bounds.adjusted(1, 1, -1, -1), radius - 1, radius - 1);
    }

    // The label, centred in the area inside the padding.
    const QRectF inner = bounds.marginsRemoved(QMarginsF(padding_));
    const double width = labelWidth();
    double x = inner.center().x() - width / 2;
    if (symbol_) {
        const double side = symbolSide();
        SymbolIcon::paint(painter, *symbol_, QRectF(x, inner.center().y() - side / 2, side, side),
                          textColor_);
        x += side + kSymbolSpacing;
    }
    painter.setPen(textColor_);
    painter.setFont(font());
    painter.drawText(QRectF(x, inner.top(), inner.right() - x + 1, inner.height()),
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text());
}

void CapsuleButton::focusInEvent(QFocusEvent* event) {
    const Qt::FocusReason reason = event->reason();
    keyboardFocus_ =
        reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason || reason == Qt::ShortcutFocusReason;
    QAbstractButton::focusInEvent(event);
}

void CapsuleButton::focusOutEvent(QFocusEvent* event) {
    keyboardFocus_ = false;
    QAbstractButton::focusOutEvent(event);
}

void CapsuleButton::changeEvent(QEvent* event) {
    // A pointing hand only where a click does something.
    if (event->type() == QEvent::EnabledChange)
        setCursor(isEnabled() ? Qt::PointingHandCursor : Qt::ArrowCursor);
    QAbstractButton::changeEvent(event);
}
