#pragma once

#include "loopback_client.h"

namespace testsupport {
using devkit::TcpClient;
using devkit::UdpSender;
}  // namespace testsupport
