#pragma once

#include <QString>

#include <cstdint>

// The pairing URL that the phone scans, from Qt strings (see pairing_url.h):
//   sonvale://connect?host=<host>&port=<port>&name=<name>&pin=<pin>
QString makePairingURL(const QString& host, uint16_t port, const QString& name, const QString& pin);

// The browser sender's link, from Qt strings: https://<host>:47812/#pin=<pin>.
QString makeBrowserURL(const QString& host, const QString& pin);
