#pragma once

#include "tone_packets.h"

namespace testsupport {
using devkit::encodeLongPacket;
using devkit::encodeTestSignal;
using devkit::makeDatagram;
using devkit::Packet;
}  // namespace testsupport
