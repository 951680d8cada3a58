#include "symbol_label.h"

#include <QPainter>

#include <cmath>

SymbolLabel::SymbolLabel(Symbol symbol, const QColor& color, int textPixelSize, QWidget* parent)
    : QWidget(parent), symbol_(symbol), color_(color) {
    // Symbols stand a little taller than the text's capitals, as system symbols do.
    const int side = static_cast<int>(std::lround(textPixelSize * 1.15));
    setFixedSize(side, side);
}

void SymbolLabel::setSymbol(Symbol symbol, const QColor& color) {
    symbol_ = symbol;
    color_ = color;
    update();
}

void SymbolLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    SymbolIcon::paint(painter, symbol_, QRectF(rect()), color_);
}
