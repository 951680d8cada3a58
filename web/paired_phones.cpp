#include "paired_phones.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <algorithm>

#include "private_file.h"

namespace {

QByteArray hashOf(const QByteArray& token) {
    return QCryptographicHash::hash(token, QCryptographicHash::Sha256);
}

}  // namespace

QString PairedPhones::defaultPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/tarnwell/phones.json";
}

QStringList PairedPhones::reload() {
    std::vector<Phone> read;
    const QJsonArray list =
        QJsonDocument::fromJson(PrivateFile::read(path_).value_or(QByteArray())).object()["phones"].toArray();
    for (const QJsonValue& value : list) {
        const QJsonObject entry = value.toObject();
        Phone phone{entry["id"].toString(), entry["name"].toString(),
                    QDateTime::fromString(entry["lastSeen"].toString(), Qt::ISODate),
                    QByteArray::fromHex(entry["hash"].toString().toLatin1())};
        if (!phone.id.isEmpty() && phone.hash.size() == kTokenBytes) read.push_back(phone);
    }
    QStringList gone;
    for (const Phone& phone : phones_) {
        if (std::none_of(read.begin(), read.end(), [&](const Phone& p) { return p.id == phone.id; }))
            gone << phone.id;
    }
    phones_ = std::move(read);
    return gone;
}

std::optional<QByteArray> PairedPhones::pair(const QString& name, const QDateTime& now, QString& error) {
    QByteArray token(kTokenBytes, '\0');
    QRandomGenerator::system()->generate(token.begin(), token.end());
    const QByteArray hash = hashOf(token);
    phones_.push_back({QString::fromLatin1(hash.left(8).toHex()), name, now.toUTC(), hash});
    if (save(error)) return token;
    phones_.pop_back();
    return std::nullopt;
}

std::optional<QString> PairedPhones::check(const QByteArray& token, const QDateTime& now) {
    if (token.size() != kTokenBytes) return std::nullopt;
    const QByteArray hash = hashOf(token);
    const auto it =
        std::find_if(phones_.begin(), phones_.end(), [&](const Phone& p) { return p.hash == hash; });
    if (it == phones_.end()) return std::nullopt;
    it->lastSeen = now.toUTC();
    QString ignored;  // a phone whose sighting cannot be saved still streams
    save(ignored);
    return it->id;
}

bool PairedPhones::forget(const QString& id, QString& error) {
    std::erase_if(phones_, [&](const Phone& p) { return id.isEmpty() || p.id == id; });
    return save(error);
}

bool PairedPhones::save(QString& error) const {
    QJsonArray list;
    for (const Phone& phone : phones_) {
        list.append(QJsonObject{{"id", phone.id},
                                {"name", phone.name},
                                {"lastSeen", phone.lastSeen.toString(Qt::ISODate)},
                                {"hash", QString::fromLatin1(phone.hash.toHex())}});
    }
    return PrivateFile::makeFolder(QFileInfo(path_).path(), error) &&
           PrivateFile::write(path_, QJsonDocument(QJsonObject{{"phones", list}}).toJson(), error);
}
