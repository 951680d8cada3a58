#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// The phones that paired with the PIN once, in a file of their own
// (phones.json, mode 0600, written whole with PrivateFile): for each, an id,
// the browser's name, when it was last seen and the SHA-256 of its token,
// never the token itself, so a copy of the file pairs nobody.
// Knows no sockets and no clock: every time is passed in. An unreadable or
// broken file reads as no phones. Not thread-safe.
class PairedPhones {
public:
    struct Phone {
        QString id;  // 16 hex digits, stable for the phone's life
        QString name;
        QDateTime lastSeen;  // UTC
        QByteArray hash;     // SHA-256 of the token, 32 bytes
    };

    static constexpr int kTokenBytes = 32;

    explicit PairedPhones(QString path) : path_(std::move(path)) {}
    // $XDG_DATA_HOME/tarnwell/phones.json, where the gateway keeps them.
    static QString defaultPath();

    // Reads the file again; returns the ids that were known and are gone.
    QStringList reload();
    // Remembers a phone that just gave the right PIN and returns its new
    // token (kTokenBytes random bytes), or nothing when the file cannot be
    // written (the phone then stays unpaired).
    std::optional<QByteArray> pair(const QString& name, const QDateTime& now, QString& error);
    // The id of the phone whose token this is, its last sighting moved to now
    // (and saved); nothing for an unknown token.
    std::optional<QString> check(const QByteArray& token, const QDateTime& now);
    // Drops one phone (all of them for an empty id) and saves the file.
    bool forget(const QString& id, QString& error);

    const std::vector<Phone>& phones() const { return phones_; }
    const QString& path() const { return path_; }

private:
    bool save(QString& error) const;

    QString path_;
    std::vector<Phone> phones_;
};
