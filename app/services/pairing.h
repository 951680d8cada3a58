#pragma once

#include <QString>

#include <cstdint>

// The pairing URL that the phone scans:
//   sonvale://connect?host=<host>&port=<port>&name=<name>&pin=<pin>
// host and pin go in unchanged, port in plain decimal, name percent-encoded.

// Every character except A-Z, a-z, 0-9 and "-._~" becomes its UTF-8 bytes, each as
// "%" and two uppercase hex digits: " " -> "%20", "&" -> "%26", "=" -> "%3D",
// U+2019 -> "%E2%80%99"; non-ASCII letters are encoded too.
QString percentEncodeName(const QString& name);

QString makePairingURL(const QString& host, uint16_t port, const QString& name, const QString& pin);
