#pragma once

#include <QFont>

// The system font at a size in logical pixels (the design's points), with the
// nearest equivalents of the rounded and monospaced designs that are installed.
namespace Typography {

enum class Design { Default, Rounded, Monospaced };

QFont system(int pixelSize, QFont::Weight weight = QFont::Normal, Design design = Design::Default);

}  // namespace Typography
