#pragma once

#include <QColor>
#include <QWidget>

#include "symbol_icon.h"

// A symbol in one colour, sized like text of the given pixel size.
class SymbolLabel : public QWidget {
    Q_OBJECT

public:
    SymbolLabel(Symbol symbol, const QColor& color, int textPixelSize, QWidget* parent = nullptr);

    void setSymbol(Symbol symbol, const QColor& color);
    Symbol symbol() const { return symbol_; }
    QColor color() const { return color_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Symbol symbol_;
    QColor color_;
};
