// The mode rule reads one byte after the last "mode": key of a mode line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "control_line.h"
#include "mode_rule.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const std::optional<int> mode = ControlLine::modeOf(line);
    if (!mode) return 0;
    if (*mode < 0 || *mode > 2 || line.find("\"t\":\"mode\"") == std::string_view::npos) std::abort();
    const int target = jitterTargetForMode(*mode);
    if (target != 2 && target != 4 && target != 8) std::abort();
    return 0;
}
