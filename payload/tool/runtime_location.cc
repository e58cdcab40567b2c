#include "runtime_location.h"

#include <limits.h>
#include <unistd.h>

const char *const runtime_targets[2] = {"x86_64", "i386"};

const char *target_machine_flag(const std::string &target)
{
    return target == "i386" ? "-m32" : "-m64";
}

static std::string own_directory()
{
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return ".";
    std::string path(buffer, (size_t)n);
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string runtime_archive(const std::string &target, std::string &error)
{
    std::string path =
        own_directory() + "/../lib/sfxlaunch/" + target + "/libsfxlaunch.a";
    if (access(path.c_str(), R_OK) != 0) {
        error = "the " + target + " launcher runtime is missing (" + path + ")";
        return "";
    }
    return path;
}
