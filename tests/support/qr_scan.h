// What a phone's scanner reads from a picture: zbarimg over a PNG file.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "sound_server.h"

namespace testsupport {

// The texts of all QR codes in the image file, one per code; none when unreadable.
inline std::vector<std::string> scanCodes(const std::string& png) {
    std::vector<std::string> out;
    std::istringstream lines(shell("zbarimg --nodbus --raw -q " + shellQuote(png)).value_or(""));
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) out.push_back(line);
    return out;
}

}  // namespace testsupport
