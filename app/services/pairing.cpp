#include "pairing.h"

QString percentEncodeName(const QString& name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    QString out;
    const QByteArray utf8 = name.toUtf8();
    out.reserve(utf8.size() * 3);
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out += QLatin1Char(static_cast<char>(c));
        } else {
            out += QLatin1Char('%');
            out += QLatin1Char(kHex[c >> 4]);
            out += QLatin1Char(kHex[c & 0xF]);
        }
    }
    return out;
}

QString makePairingURL(const QString& host, uint16_t port, const QString& name, const QString& pin) {
    return QStringLiteral("sonvale://connect?host=") + host + QStringLiteral("&port=") +
           QString::number(port) + QStringLiteral("&name=") + percentEncodeName(name) +
           QStringLiteral("&pin=") + pin;
}
