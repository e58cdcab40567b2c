#include "glibc_needs.h"

#include <ctype.h>

// "2.1.3" as {2, 1, 3}; false unless numbers and dots only.
static bool parse_version(const std::string &text, std::vector<unsigned long> &parts)
{
    parts.clear();
    size_t at = 0;
    while (at < text.size()) {
        size_t dot = text.find('.', at);
        std::string part = text.substr(at, dot == std::string::npos ? dot : dot - at);
        if (part.empty() || part.size() > 6)
            return false;
        for (char c : part)
            if (!isdigit((unsigned char)c))
                return false;
        parts.push_back(std::stoul(part));
        if (dot == std::string::npos)
            return true;
        at = dot + 1;
    }
    return false;
}

std::vector<std::string> needs_above_floor(const ElfImage &image, const std::string &floor)
{
    std::vector<std::string> above;
    std::vector<unsigned long> limit, version;
    if (!parse_version(floor, limit))
        return {"the floor " + floor + " is not a version"};
    if (image.version_needs.empty())
        above.push_back("no version needs at all (.gnu.version_r)");
    const std::string prefix = "GLIBC_";
    for (const ElfVersionNeed &need : image.version_needs) {
        bool covered = need.file == "libc.so.6" && need.version.rfind(prefix, 0) == 0 &&
                       parse_version(need.version.substr(prefix.size()), version) &&
                       version <= limit;
        if (!covered)
            above.push_back(need.file + ": " + need.version);
    }
    return above;
}
