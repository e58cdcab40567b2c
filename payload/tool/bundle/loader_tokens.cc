#include "bundle/loader_tokens.h"

#include <string.h>

#include "sys/diagnostics.h"
#include "sys/spawn_process.h"

namespace {

struct LoaderTokens {
    bool asked = false;
    std::string platform;
    std::string lib;
};

// One per entry of target_table, filled by ask_loader.
LoaderTokens learnt[TARGET_COUNT];

// Directories no one can create without root: the loader only prints them.
const char platform_mark[] = "/sfxpack-probe-platform/";
const char lib_mark[] = "/sfxpack-probe-lib/";

// The loader prints each directory of LD_LIBRARY_PATH after its own
// subdirectories for hardware capabilities (glibc-hwcaps/x86-64-v3,
// haswell/, tls/, ...), which all begin with it: the shortest entry after
// the mark is what the token became.
std::string marked_value(const std::string &debug, const std::string &mark, bool &found)
{
    std::string best;
    found = false;
    size_t line_start = 0;
    while (line_start < debug.size()) {
        size_t line_end = debug.find('\n', line_start);
        if (line_end == std::string::npos)
            line_end = debug.size();
        std::string line = debug.substr(line_start, line_end - line_start);
        line_start = line_end + 1;
        if (line.find("search path=") == std::string::npos)
            continue;
        for (size_t at = line.find(mark); at != std::string::npos; at = line.find(mark, at + 1)) {
            size_t start = at + mark.size();
            std::string value = line.substr(start, line.find_first_of(":\t ", start) - start);
            if (!found || value.size() < best.size())
                best = value;
            found = true;
        }
    }
    return best;
}

// The loader expands the tokens in LD_LIBRARY_PATH as in any run-time
// search path, and LD_DEBUG=libs makes it print the result while it looks
// for a preloaded library that does not exist. Listing the loader itself
// needs no other program of the target, and runs nothing.
void ask_loader(const TargetInfo &target, LoaderTokens &t)
{
    t.asked = true;
    SpawnOptions options;
    options.null_input = true;
    options.capture_output = true;
    options.errors_with_output = true;
    options.set_env = {std::string("LD_LIBRARY_PATH=") + platform_mark + "$PLATFORM:" +
                           lib_mark + "$LIB",
                       "LD_PRELOAD=sfxpack-probe-absent.so", "LD_DEBUG=libs"};
    options.unset_env = {"LD_DEBUG_OUTPUT", "LD_AUDIT", "LD_BIND_NOW", "LD_TRACE_LOADED_OBJECTS"};
    SpawnResult r = spawn_process({target.loader, "--list", target.loader}, options);
    bool have_platform = false, have_lib = false;
    t.platform = marked_value(r.out, platform_mark, have_platform);
    t.lib = marked_value(r.out, lib_mark, have_lib);
    if (have_platform && have_lib && !t.platform.empty() && !t.lib.empty())
        return;
    std::string why = r.start_error ? std::string("cannot run it: ") + strerror(r.start_error)
                                    : "it did not say";
    print_warning(std::string("the ") + target.name + " loader " + target.loader +
                  " could not be asked what $PLATFORM and $LIB stand for (" + why +
                  "); taking " + target.usual_platform + " and " + target.usual_lib);
    t.platform = target.usual_platform;
    t.lib = target.usual_lib;
}

}  // namespace

std::string loader_token(const TargetInfo &target, const std::string &token)
{
    if (token != "PLATFORM" && token != "LIB")
        return "";
    LoaderTokens &t = learnt[&target - target_table];
    if (!t.asked)
        ask_loader(target, t);
    return token == "PLATFORM" ? t.platform : t.lib;
}
