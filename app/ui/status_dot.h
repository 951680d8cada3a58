#pragma once

#include <QColor>
#include <QWidget>

// A filled circle of a fixed diameter: the engine's state at a glance.
class StatusDot : public QWidget {
    Q_OBJECT

public:
    static constexpr int kDiameter = 10;

    explicit StatusDot(QWidget* parent = nullptr);

    void setColor(const QColor& color);
    QColor color() const { return color_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor color_;
};
