#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// Whether the virtual microphone is installed: an input device of the sound
// server named "Tarnwell" (any letter case) or with the id "SonvaleDevice_UID"
// (exactly). Stateless; every lookup asks the sound server afresh.
namespace AudioDevice {

struct Identity {
    QByteArray id;        // the sound server's device name
    QString description;  // the name shown to users
};

// Index of the first device whose description equals "Tarnwell" ignoring case or,
// failing that for the same device, whose id equals "SonvaleDevice_UID"; none
// when no device matches.
std::optional<qsizetype> findTarnwell(const QList<Identity>& devices);

// The id of the first matching input device of the sound server; none when there
// is none (or no sound server).
std::optional<QByteArray> tarnwellDeviceID();

}  // namespace AudioDevice
