#include "autostart_entry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace AutostartEntry {

QString path() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    // The XDG rules ignore a relative value.
    if (config.isEmpty() || QDir::isRelativePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/autostart/tarnwell.desktop");
}

bool enabled() {
    return QFileInfo::exists(path());
}

bool setEnabled(bool on) {
    QFile file(path());
    if (!on) return !file.exists() || file.remove();
    if (!QDir().mkpath(QFileInfo(file).absolutePath())) return false;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    const QByteArray entry =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Tarnwell\n"
        "Comment=Use a phone as this computer's microphone\n"
        "Exec=Tarnwell\n"
        "Icon=tarnwell\n"
        "Terminal=false\n"
        "X-GNOME-Autostart-enabled=true\n";
    return file.write(entry) == entry.size() && file.flush();
}

}  // namespace AutostartEntry
