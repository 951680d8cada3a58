#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

// Where the phone finds this computer: its IPv4 address and its user-visible name.
// Stateless; every call reads the system afresh.
namespace NetworkInfo {

// One IPv4 address of an interface, as getifaddrs lists it.
struct InterfaceAddress {
    QString interfaceName;
    unsigned int flags = 0;  // IFF_*
    QString address;         // numeric dotted-decimal text
};

// The address the phone should use, chosen from entries in their listed order:
// - only entries with IFF_UP and IFF_RUNNING set and IFF_LOOPBACK clear count;
//   the first address listed for an interface is its address;
// - container and VM bridges (docker*, br-*, virbr*, veth*) count only when no
//   other interface has an address;
// - preference: the interface of the default IPv4 route, then the first wired
//   interface ("en*", "eth*"), then the first wireless one ("wl*"), then the
//   smallest address text (compared character by character).
// None when nothing qualifies.
std::optional<QString> chooseIPv4(const std::vector<InterfaceAddress>& entries,
                                  const QString& defaultRouteInterface);

// The interface of the IPv4 default route with the lowest metric, from the text
// of /proc/net/route; empty when there is none.
QString defaultRouteInterface(const QByteArray& procNetRoute);

// The IPv4 addresses of all interfaces (getifaddrs, getnameinfo); empty on failure.
std::vector<InterfaceAddress> ipv4Addresses();

// chooseIPv4 over this machine's interfaces and default route.
std::optional<QString> primaryIPv4();

// The value of PRETTY_HOSTNAME in the text of /etc/machine-info (environment-file
// syntax: unquoted with backslash escapes, "double" or 'single' quoted; the last
// assignment wins); empty when absent.
QString prettyHostname(const QByteArray& machineInfo);

// The pretty host name when set and not empty, else the host name; unchanged.
QString computerName();

}  // namespace NetworkInfo
