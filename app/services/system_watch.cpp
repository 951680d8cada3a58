#include "system_watch.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QMediaDevices>
#include <QSocketNotifier>
#include <QTimer>

#include <array>

#include "audio_device.h"
#include "network_info.h"

namespace {

SystemWatch::Facts readFacts() {
    return {NetworkInfo::primaryIPv4(), NetworkInfo::computerName(),
            AudioDevice::tarnwellDeviceID().has_value()};
}

// A socket that wakes us whenever an interface, an IPv4 address or a route
// changes; -1 where netlink is not available (the poll still notices).
int openRouteSocket() {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return -1;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

SystemWatch::SystemWatch(QObject* parent)
    : QObject(parent), facts_(readFacts()), poll_(std::make_unique<QTimer>()) {
    connect(poll_.get(), &QTimer::timeout, this, &SystemWatch::reread);
    poll_->start(kPollIntervalMs);
    auto* devices = new QMediaDevices(this);
    connect(devices, &QMediaDevices::audioInputsChanged, this, &SystemWatch::reread);
    routeSocket_ = openRouteSocket();
    if (routeSocket_ >= 0) {
        routeNotifier_ = std::make_unique<QSocketNotifier>(routeSocket_, QSocketNotifier::Read);
        connect(routeNotifier_.get(), &QSocketNotifier::activated, this, &SystemWatch::drainRouteSocket);
    }
}

SystemWatch::~SystemWatch() {
    routeNotifier_.reset();
    if (routeSocket_ >= 0) ::close(routeSocket_);
}

void SystemWatch::drainRouteSocket() {
    // The messages only say that something changed; the address is read afresh.
    std::array<char, 8192> buffer{};
    while (::recv(routeSocket_, buffer.data(), buffer.size(), 0) > 0) {
    }
    reread();
}

void SystemWatch::reread() {
    Facts now = readFacts();
    if (now == facts_) return;
    facts_ = std::move(now);
    Q_EMIT changed();
}
