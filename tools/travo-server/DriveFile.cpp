#include "DriveFile.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <sstream>

namespace travo {

namespace {

bool ParseNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end && *end == '\0';
}

bool ParseId(const std::string& text, int& id) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    id = std::atoi(text.c_str());
    return id <= 255;
}

}  // namespace

bool ParseDrive(std::istream& in, std::vector<TStep>& steps, std::string& error) {
    std::string line;
    int number = 0;
    int lastAt = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::istringstream words(line);
        std::string word;
        if (!(words >> word)) continue;
        auto fail = [&](const std::string& why) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        };
        double at;
        if (!ParseNumber(word, at) || at < 0 || at > 86400000.0) return fail("time '" + word + "' is no millisecond count");
        if (static_cast<int>(at) < lastAt) return fail("time " + word + " goes back");
        lastAt = static_cast<int>(at);
        TStep step;
        step.AtMs = lastAt;
        while (words >> word) {
            const std::size_t equals = word.find('=');
            int id;
            double value;
            if (equals == std::string::npos || !ParseId(word.substr(0, equals), id) ||
                !ParseNumber(word.substr(equals + 1), value)) {
                return fail("'" + word + "' is no id=value pair");
            }
            if (id == 92) return fail("id 92 carries no number");
            step.Values.push_back({static_cast<std::uint8_t>(id), value});
        }
        if (step.Values.empty()) return fail("no id=value pair");
        steps.push_back(std::move(step));
    }
    return true;
}

std::string DriveLine(int AtMs, const std::vector<TValue>& Values) {
    std::string line = std::to_string(AtMs);
    for (const TValue& value : Values) {
        char number[32];
        const auto written = std::to_chars(number, number + sizeof number, value.Value);  // shortest exact
        line += " " + std::to_string(value.Id) + "=" + std::string(number, written.ptr);
    }
    return line;
}

}  // namespace travo
