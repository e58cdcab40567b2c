#include "pack/runtime_location.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

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

std::string runtime_archive(const TargetInfo &target, bool static_runtime, std::string &error)
{
    std::string path = own_directory() + "/../lib/sfxlaunch/" + target.name +
                       (static_runtime ? "/static" : "") + "/libsfxlaunch.a";
    if (access(path.c_str(), R_OK) != 0) {
        error = std::string("the ") + target.name + (static_runtime ? " static" : "") +
                " launcher runtime is missing (" + path + ")";
        return "";
    }
    return path;
}

int runtime_link_flags(const std::string &archive, std::vector<std::string> &flags,
                       std::string &error)
{
    flags.clear();
    std::string path = archive.substr(0, archive.rfind('.')) + ".ldflags";
    FILE *in = fopen(path.c_str(), "r");
    if (in == NULL) {
        if (errno == ENOENT)
            return 0;
        error = path + ": " + strerror(errno);
        return -1;
    }
    char flag[4096];
    while (fscanf(in, "%4095s", flag) == 1)
        flags.push_back(flag);
    int failed = ferror(in);
    fclose(in);
    if (failed) {
        error = path + ": read error";
        return -1;
    }
    return 0;
}
