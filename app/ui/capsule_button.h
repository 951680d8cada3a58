#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QMargins>

#include <optional>

#include "symbol_icon.h"

// A plain button whose label is its whole look: an optional symbol before the
// text, on a capsule. Looks inactive while disabled; focus reached with the
// keyboard shows a ring.
class CapsuleButton : public QAbstractButton {
    Q_OBJECT

public:
    static constexpr int kSymbolSpacing = 6;
    static constexpr double kDisabledOpacity = 0.4;

    // padding: around the label (or around the text frame, when one is set).
    CapsuleButton(const QFont& font, const QMargins& padding, QWidget* parent = nullptr);

    void setLabel(const QString& text, std::optional<Symbol> symbol = std::nullopt);
    void setColors(const QColor& text, const QColor& background);
    // A label frame of exactly this width, centred; 0: the label's natural width.
    void setTextFrameWidth(int width);

    std::optional<Symbol> symbol() const { return symbol_; }
    QColor textColor() const { return textColor_; }
    QColor backgroundColor() const { return backgroundColor_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    double symbolSide() const;
    double labelWidth() const;

    QMargins padding_;
    std::optional<Symbol> symbol_;
    QColor textColor_;
    QColor backgroundColor_;
    int textFrameWidth_ = 0;
    bool keyboardFocus_ = false;  // focus reached by Tab: show the ring
};
