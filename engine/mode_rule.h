#pragma once

#include <optional>
#include <string_view>

// A control line selects a mode when it contains "t":"mode" and the byte after
// the last "mode": key (blanks and tabs skipped) is 0, 1 or 2. Only that byte is
// read, so a value of 12 selects mode 1. Returns the mode digit.
std::optional<int> parseModeLine(std::string_view line);

// Jitter target for a mode digit: 0 -> 2, 1 -> 4, 2 -> 8 packets.
int jitterTargetForMode(int mode);
