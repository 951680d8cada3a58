#include "audio_device.h"

#include <QAudioDevice>
#include <QMediaDevices>

#include "sonvale_protocol.h"

namespace AudioDevice {

std::optional<qsizetype> findTarnwell(const QList<Identity>& devices) {
    for (qsizetype i = 0; i < devices.size(); ++i) {
        if (devices[i].description.compare(QLatin1String(sonvale::kDeviceName), Qt::CaseInsensitive) == 0)
            return i;
        if (devices[i].id == sonvale::kDeviceUID) return i;
    }
    return std::nullopt;
}

std::optional<QByteArray> tarnwellDeviceID() {
    const QList<QAudioDevice> inputs = QMediaDevices::audioInputs();
    QList<Identity> identities;
    identities.reserve(inputs.size());
    for (const QAudioDevice& d : inputs)
        identities.append({d.id(), d.description()});
    const std::optional<qsizetype> index = findTarnwell(identities);
    if (!index) return std::nullopt;
    return identities[*index].id;
}

}  // namespace AudioDevice
