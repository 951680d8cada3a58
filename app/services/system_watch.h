#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class QSocketNotifier;
class QTimer;

// What the pairing card and the device note show, kept current while someone
// looks: the address (NetworkInfo::primaryIPv4), the computer's name and whether
// the "Tarnwell" microphone exists.
//
// Address changes are noticed at once through a netlink route socket; the name
// and the device list (whose change signals the sound server's Qt backend does
// not deliver reliably) are read again every kPollInterval, a cheap look at
// cached lists and two small files. changed() is emitted only when a fact
// differs from the last reading. Main thread only.
class SystemWatch : public QObject {
    Q_OBJECT

public:
    static constexpr int kPollIntervalMs = 1000;

    struct Facts {
        std::optional<QString> address;  // none: this computer has no usable network
        QString computerName;
        bool devicePresent = false;
        bool operator==(const Facts&) const = default;
    };

    // Reads the system now and keeps reading while it lives.
    explicit SystemWatch(QObject* parent = nullptr);
    ~SystemWatch() override;

    const Facts& facts() const { return facts_; }

Q_SIGNALS:
    void changed();

private:
    void reread();
    void drainRouteSocket();

    Facts facts_;
    std::unique_ptr<QTimer> poll_;
    int routeSocket_ = -1;  // netlink, owned
    std::unique_ptr<QSocketNotifier> routeNotifier_;
};
