#include "typography.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QStringList>

namespace Typography {

QFont system(int pixelSize, QFont::Weight weight, Design design) {
    QFont font = QGuiApplication::font();
    switch (design) {
        case Design::Default:
            break;
        case Design::Rounded:
            // Rounded faces found on Linux desktops, best first; else the system face.
            font.setFamilies({QStringLiteral("Nunito"), QStringLiteral("Varela Round"),
                              QStringLiteral("M PLUS Rounded 1c"), QStringLiteral("Quicksand"),
                              QStringLiteral("Comfortaa"), font.family()});
            break;
        case Design::Monospaced:
            font.setFamilies({QFontDatabase::systemFont(QFontDatabase::FixedFont).family()});
            font.setStyleHint(QFont::Monospace);
            break;
    }
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

}  // namespace Typography
