#include "phone_name.h"

#include <utility>

namespace {

// The first entry whose marker the agent contains; the order settles agents
// that name several (Android agents say Linux, Chrome's say Safari).
std::string_view firstOf(std::string_view agent,
                         std::initializer_list<std::pair<std::string_view, std::string_view>> table,
                         std::string_view fallback) {
    for (const auto& [marker, name] : table) {
        if (agent.find(marker) != std::string_view::npos) return name;
    }
    return fallback;
}

}  // namespace

std::string phoneName(std::string_view agent) {
    const std::string_view device = firstOf(agent,
                                            {{"iPhone", "iPhone"},
                                             {"iPad", "iPad"},
                                             {"Android", "Android"},
                                             {"Windows", "Windows"},
                                             {"Macintosh", "Mac"},
                                             {"CrOS", "ChromeOS"},
                                             {"Linux", "Linux"}},
                                            "Phone");
    const std::string_view browser = firstOf(agent,
                                             {{"EdgA/", "Edge"},
                                              {"EdgiOS/", "Edge"},
                                              {"Edg/", "Edge"},
                                              {"SamsungBrowser/", "Samsung Internet"},
                                              {"OPR/", "Opera"},
                                              {"FxiOS/", "Firefox"},
                                              {"Firefox/", "Firefox"},
                                              {"CriOS/", "Chrome"},
                                              {"Chrome/", "Chrome"},
                                              {"Safari/", "Safari"}},
                                             "Browser");
    return std::string(device) + " · " + std::string(browser);
}
