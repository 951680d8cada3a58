#pragma once

#include <string>
#include <utility>
#include <vector>

// The end-to-end figures as one flat JSON object, keys in the order they were set.
class Results {
public:
    void set(const std::string& key, double value);
    void set(const std::string& key, const std::string& text);
    bool write(const std::string& path) const;

private:
    std::vector<std::pair<std::string, std::string>> entries_;  // key, JSON value
};
