#pragma once

#include <QByteArray>

#include <optional>
#include <string>

// Whether a graphical session can be reached, checked before Qt is started
// (Qt aborts when it finds none).
namespace DisplayCheck {

struct Environment {
    std::optional<QByteArray> qpaPlatform;     // QT_QPA_PLATFORM
    std::optional<QByteArray> waylandDisplay;  // WAYLAND_DISPLAY
    std::optional<QByteArray> runtimeDir;      // XDG_RUNTIME_DIR
    std::optional<QByteArray> display;         // DISPLAY
};

Environment fromProcess();

// Empty when a display is reachable (or a Qt platform was chosen explicitly);
// else the one-line reason, without a line end.
std::string problem(const Environment& environment);

}  // namespace DisplayCheck
