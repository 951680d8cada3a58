#pragma once

#include <string>

namespace testsupport {
// Locations in the build tree, fixed at configure time.
inline std::string enginePath() {
    return SONVALE_ENGINE_PATH;
}
inline std::string buildDir() {
    return SONVALE_BUILD_DIR;
}
inline std::string sourceDir() {
    return SONVALE_SOURCE_DIR;
}
}  // namespace testsupport
