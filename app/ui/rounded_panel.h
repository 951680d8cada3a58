#pragma once

#include <QColor>
#include <QWidget>

// A container drawn as a filled rounded rectangle under its children; a capsule
// (fully rounded ends) when no radius is given.
class RoundedPanel : public QWidget {
    Q_OBJECT

public:
    static constexpr double kCapsule = -1;

    RoundedPanel(const QColor& fill, double radius, QWidget* parent = nullptr);

    QColor fill() const { return fill_; }
    // The corner radius used at the current size.
    double cornerRadius() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor fill_;
    double radius_;
};
