#include "window_settings.h"

#include <QSettings>
#include <QStandardPaths>

namespace WindowSettings {

namespace {

const QString kChoice = QStringLiteral("window/choice");
const QString kBrowser = QStringLiteral("browser");

}  // namespace

QString path() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/tarnwell/tarnwell.conf");
}

bool browserChosen() {
    return QSettings(path(), QSettings::IniFormat).value(kChoice).toString() == kBrowser;
}

bool setBrowserChosen(bool browser) {
    QSettings settings(path(), QSettings::IniFormat);
    settings.setValue(kChoice, browser ? kBrowser : QStringLiteral("phone-app"));
    settings.sync();
    return settings.status() == QSettings::NoError;
}

}  // namespace WindowSettings
