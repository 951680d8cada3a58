#pragma once

#include <QColor>

// The application's palette, shared by the tray menu and the main window. Each
// colour is made once, on first use.
namespace Theme {

const QColor& background();     // #0B0F14
const QColor& surface();        // #141B22
const QColor& accent();         // #5EEAD4
const QColor& danger();         // #F87171
const QColor& textPrimary();    // white
const QColor& textSecondary();  // white at opacity 0.62
const QColor& cardWhite();      // white

// color at the given opacity (0..1), multiplied into its own alpha.
QColor withOpacity(const QColor& color, double opacity);

}  // namespace Theme
