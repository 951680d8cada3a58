#include "display_check.h"

#include <sys/stat.h>

#include <xcb/xcb.h>

#include <cstdlib>

namespace DisplayCheck {

namespace {

std::optional<QByteArray> variable(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return QByteArray(value);
}

bool waylandReachable(const Environment& env) {
    if (!env.waylandDisplay) return false;
    QByteArray path = *env.waylandDisplay;
    if (!path.startsWith('/')) {
        if (!env.runtimeDir) return false;
        path = *env.runtimeDir + '/' + path;
    }
    struct stat info = {};
    return ::stat(path.constData(), &info) == 0 && S_ISSOCK(info.st_mode);
}

bool x11Reachable(const Environment& env) {
    if (!env.display) return false;
    xcb_connection_t* connection = xcb_connect(env.display->constData(), nullptr);
    const bool ok = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return ok;
}

}  // namespace

Environment fromProcess() {
    return {variable("QT_QPA_PLATFORM"), variable("WAYLAND_DISPLAY"), variable("XDG_RUNTIME_DIR"),
            variable("DISPLAY")};
}

std::string problem(const Environment& env) {
    if (env.qpaPlatform) return {};  // chosen by the user; Qt reports its own failures
    if (waylandReachable(env) || x11Reachable(env)) return {};
    if (!env.display && !env.waylandDisplay)
        return "Tarnwell needs a graphical desktop session: neither DISPLAY nor WAYLAND_DISPLAY is set";
    return "Tarnwell needs a graphical desktop session: cannot reach the display " +
           (env.waylandDisplay ? env.waylandDisplay->toStdString() : env.display->toStdString());
}

}  // namespace DisplayCheck
