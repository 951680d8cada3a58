#pragma once

#include "subprocess.h"

namespace testsupport {
using devkit::ChildProcess;
}  // namespace testsupport
