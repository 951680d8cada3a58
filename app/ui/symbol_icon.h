#pragma once

#include <QColor>
#include <QIcon>
#include <QPainterPath>
#include <QPixmap>
#include <QRectF>

class QPainter;

// The design's system symbols, drawn by us so that each takes exactly the colour
// the design gives it (the freedesktop themes ship them as SVG, which would need
// Qt's SVG plugin, and in their own colours).
enum class Symbol {
    MicFill,           // "mic.fill": a filled microphone on its stand
    SealCheckFill,     // "checkmark.seal.fill": a seal with a check cut out
    WarningFill,       // "exclamationmark.triangle.fill"
    CheckCircleFill,   // "checkmark.circle.fill"
    DocOnDoc,          // "doc.on.doc": two documents
    SpeakerWave2,      // "speaker.wave.2": a speaker outline with two waves
    SpeakerWave2Fill,  // "speaker.wave.2.fill"
};

namespace SymbolIcon {

// The symbol as one filled outline in the unit square (0,0)-(1,1).
QPainterPath path(Symbol symbol);

// Fills the symbol into box (kept square, centred), antialiased.
void paint(QPainter& painter, Symbol symbol, const QRectF& box, const QColor& color);

// A size x size logical-pixel image for a screen with the given pixel ratio.
QPixmap pixmap(Symbol symbol, int size, const QColor& color, qreal devicePixelRatio = 1.0);

// The usual icon sizes, for the tray and the window.
QIcon icon(Symbol symbol, const QColor& color);

// The application's own icon, as the installed tarnwell.svg draws it: the accent
// microphone on a dark rounded square, readable on light and dark panels.
QIcon appIcon();

}  // namespace SymbolIcon
