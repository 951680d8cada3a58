#include "network_info.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QList>

#include <algorithm>
#include <climits>
#include <memory>

namespace NetworkInfo {
namespace {

bool isVirtualBridge(const QString& name) {
    return name.startsWith(QLatin1String("docker")) || name.startsWith(QLatin1String("br-")) ||
           name.startsWith(QLatin1String("virbr")) || name.startsWith(QLatin1String("veth"));
}

bool isWired(const QString& name) {
    return name.startsWith(QLatin1String("en")) || name.startsWith(QLatin1String("eth"));
}

bool isWireless(const QString& name) {
    return name.startsWith(QLatin1String("wl"));
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

// One value of an environment file, from just after '=' to the end of the line.
QString unquoteValue(const QByteArray& raw) {
    QByteArray out;
    char quote = 0;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
            else
                out.append(c);
        } else if (c == '\\' && i + 1 < raw.size()) {
            out.append(raw[++i]);
        } else if (quote == '"') {
            if (c == '"')
                quote = 0;
            else
                out.append(c);
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else {
            out.append(c);
        }
    }
    return QString::fromUtf8(out).trimmed();
}

}  // namespace

std::optional<QString> chooseIPv4(const std::vector<InterfaceAddress>& entries,
                                  const QString& defaultRouteInterface) {
    constexpr unsigned int kMask = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    constexpr unsigned int kWanted = IFF_UP | IFF_RUNNING;
    std::vector<const InterfaceAddress*> physical;
    std::vector<const InterfaceAddress*> bridges;
    auto seen = [&](const QString& name) {
        auto same = [&](const InterfaceAddress* e) { return e->interfaceName == name; };
        return std::any_of(physical.begin(), physical.end(), same) ||
               std::any_of(bridges.begin(), bridges.end(), same);
    };
    for (const InterfaceAddress& e : entries) {
        if ((e.flags & kMask) != kWanted || e.address.isEmpty() || seen(e.interfaceName)) continue;
        (isVirtualBridge(e.interfaceName) ? bridges : physical).push_back(&e);
    }
    const std::vector<const InterfaceAddress*>& candidates = physical.empty() ? bridges : physical;
    if (candidates.empty()) return std::nullopt;

    auto firstWhere = [&](auto predicate) -> std::optional<QString> {
        for (const InterfaceAddress* e : candidates)
            if (predicate(e->interfaceName)) return e->address;
        return std::nullopt;
    };
    if (!defaultRouteInterface.isEmpty())
        if (auto a = firstWhere([&](const QString& n) { return n == defaultRouteInterface; })) return a;
    if (auto a = firstWhere(isWired)) return a;
    if (auto a = firstWhere(isWireless)) return a;
    const auto smallest = std::min_element(candidates.begin(), candidates.end(), [](auto* a, auto* b) {
        return QString::compare(a->address, b->address, Qt::CaseSensitive) < 0;
    });
    return (*smallest)->address;
}

QString defaultRouteInterface(const QByteArray& procNetRoute) {
    constexpr unsigned long kRouteUp = 0x1;  // RTF_UP
    QString best;
    long bestMetric = LONG_MAX;
    const QList<QByteArray> lines = procNetRoute.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {  // line 0 is the header
        const QList<QByteArray> f = lines[i].simplified().split(' ');
        if (f.size() < 8) continue;
        bool ok = false;
        const unsigned long flags = f[3].toULong(&ok, 16);
        if (!ok || !(flags & kRouteUp) || f[1] != "00000000" || f[7] != "00000000") continue;
        const long metric = f[6].toLong(&ok);
        if (!ok || metric >= bestMetric) continue;
        bestMetric = metric;
        best = QString::fromUtf8(f[0]);
    }
    return best;
}

std::vector<InterfaceAddress> ipv4Addresses() {
    std::vector<InterfaceAddress> out;
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) return out;
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> list(raw, &::freeifaddrs);
    for (const ifaddrs* a = raw; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !a->ifa_name) continue;
        char host[NI_MAXHOST] = {};
        if (::getnameinfo(a->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) !=
            0)
            continue;
        out.push_back({QString::fromUtf8(a->ifa_name), a->ifa_flags, QString::fromUtf8(host)});
    }
    return out;
}

std::optional<QString> primaryIPv4() {
    return chooseIPv4(ipv4Addresses(), defaultRouteInterface(readFile(QStringLiteral("/proc/net/route"))));
}

QString prettyHostname(const QByteArray& machineInfo) {
    QString value;
    for (const QByteArray& rawLine : machineInfo.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (!line.startsWith("PRETTY_HOSTNAME=")) continue;
        value = unquoteValue(line.mid(qsizetype(sizeof("PRETTY_HOSTNAME=") - 1)));
    }
    return value;
}

QString computerName() {
    const QString pretty = prettyHostname(readFile(QStringLiteral("/etc/machine-info")));
    if (!pretty.isEmpty()) return pretty;
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) != 0) return {};
    return QString::fromUtf8(host);
}

}  // namespace NetworkInfo
