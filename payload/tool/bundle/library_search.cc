#include "bundle/library_search.h"

#include <ctype.h>
#include <elf.h>
#include <limits.h>
#include <stdlib.h>

#include <map>

#include "sys/command_output.h"
#include "bundle/loader_tokens.h"

std::string directory_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string real_directory(const std::string &path)
{
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr)
        return directory_of(path);
    return directory_of(resolved);
}

static std::string token_value(const std::string &token, const std::string &origin,
                               const TargetInfo &target)
{
    if (token == "ORIGIN")
        return origin;
    return loader_token(target, token);
}

static std::string expand_tokens(const std::string &element, const std::string &origin,
                                 const TargetInfo &target)
{
    std::string out;
    for (size_t i = 0; i < element.size(); i++) {
        if (element[i] != '$') {
            out += element[i];
            continue;
        }
        bool braced = i + 1 < element.size() && element[i + 1] == '{';
        size_t start = i + (braced ? 2 : 1);
        size_t end = start;
        while (end < element.size() && (isalnum((unsigned char)element[end]) || element[end] == '_'))
            end++;
        std::string token = element.substr(start, end - start);
        std::string value = token_value(token, origin, target);
        bool closed = !braced || (end < element.size() && element[end] == '}');
        if (value.empty() || !closed) {
            out += '$';  // an unknown token stays as written, as for the loader
            continue;
        }
        out += value;
        i = braced ? end : end - 1;
    }
    return out;
}

std::vector<std::string> expand_search_path(const std::string &list,
                                            const char *separators,
                                            const std::string &origin,
                                            const TargetInfo &target)
{
    std::vector<std::string> dirs;
    size_t start = 0;
    for (;;) {
        size_t end = list.find_first_of(separators, start);
        std::string element = list.substr(start, end == std::string::npos ? end : end - start);
        std::string dir = expand_tokens(element, origin, target);
        while (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        dirs.push_back(dir.empty() ? "." : dir);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return dirs;
}


namespace {

struct CacheEntry {
    std::string name;
    const TargetInfo *target;
    std::string path;
};

// Filled once, on the first lookup.
std::vector<CacheEntry> cache_entries;
bool cache_read = false;

// The architecture of an `ldconfig -p` flags field such as "libc6,x86-64":
// x86_64 entries say so, i386 ones are plain "libc6". Entries for optional
// hardware capabilities are left out: the bundle must run on any processor
// of the target.
const TargetInfo *cache_flags_target(const std::string &flags)
{
    std::vector<std::string> tokens;
    size_t start = 0;
    for (;;) {
        size_t comma = flags.find(',', start);
        std::string token = flags.substr(start, comma == std::string::npos ? comma : comma - start);
        while (!token.empty() && token.front() == ' ')
            token.erase(token.begin());
        if (token.find("hwcap") != std::string::npos)
            return nullptr;
        if (token.find(':') == std::string::npos)
            tokens.push_back(token);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    std::string joined;
    for (const std::string &t : tokens)
        joined += (joined.empty() ? "" : ",") + t;
    for (const TargetInfo &t : target_table)
        if (joined == t.ldconfig_flags)
            return &t;
    return nullptr;
}

void read_cache()
{
    cache_read = true;
    std::string output;
    int status = -1;
    // Without the cache the search paths still find most libraries: why it
    // failed is not worth a line.
    std::string ignored;
    for (const char *ldconfig : {"/sbin/ldconfig", "/usr/sbin/ldconfig", "ldconfig"}) {
        status = capture_command({ldconfig, "-p"}, output, ignored);
        if (status == 0)
            break;
    }
    if (status != 0)
        return;
    // Lines look like "\tlibz.so.1 (libc6,x86-64) => /lib/x86_64-linux-gnu/libz.so.1".
    size_t start = 0;
    while (start < output.size()) {
        size_t nl = output.find('\n', start);
        std::string line = output.substr(start, nl == std::string::npos ? nl : nl - start);
        start = nl == std::string::npos ? output.size() : nl + 1;
        size_t open = line.find(" (");
        size_t arrow = line.find(") => ");
        if (line.empty() || line[0] != '\t' || open == std::string::npos ||
            arrow == std::string::npos || arrow < open)
            continue;
        const TargetInfo *target = cache_flags_target(line.substr(open + 2, arrow - open - 2));
        if (target != nullptr)
            cache_entries.push_back({line.substr(1, open - 1), target, line.substr(arrow + 5)});
    }
}

}  // namespace

std::vector<std::string> loader_cache_paths(const std::string &name,
                                            const TargetInfo &target)
{
    if (!cache_read)
        read_cache();
    std::vector<std::string> paths;
    for (const CacheEntry &e : cache_entries)
        if (e.name == name && e.target == &target)
            paths.push_back(e.path);
    return paths;
}

bool loadable_library(const std::string &path, const TargetInfo &target,
                      InputRecord &record)
{
    if (read_input_record(path, record) != 0 || !record.elf_error.empty())
        return false;
    return record.elf.type == ET_DYN && elf_object_target(record.elf) == &target;
}
