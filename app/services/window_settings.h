#pragma once

#include <QString>

// What the main window remembers across launches: whether its card shows the
// browser link's code rather than the phone app's. Kept as the user's
// preference in $XDG_CONFIG_HOME/tarnwell/tarnwell.conf (~/.config when unset),
// an INI file through QSettings: a preference belongs with the user's settings,
// apart from the data folder, whose files the gateway owns and watches. Only the
// window reads it; a missing or unreadable file means the phone app.
namespace WindowSettings {

QString path();
bool browserChosen();
// False when the file cannot be written.
bool setBrowserChosen(bool browser);

}  // namespace WindowSettings
