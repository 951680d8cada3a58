#pragma once

#include <QString>

// The user's XDG autostart entry for Tarnwell,
// $XDG_CONFIG_HOME/autostart/tarnwell.desktop (~/.config when unset). The file
// itself is the setting: nothing else remembers whether Tarnwell starts at login.
namespace AutostartEntry {

QString path();
bool enabled();
// Writes or removes the entry; false when the file system refused.
bool setEnabled(bool on);

}  // namespace AutostartEntry
