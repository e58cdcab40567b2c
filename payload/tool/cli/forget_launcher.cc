// sfxpack --forget: empties a launcher's --unpack-once cache for the
// calling user, every version of its program's name, keeping what a run
// holds. Takes no argument from the program: the launcher itself is never
// run.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "cli/commands.h"
#include "cli/open_launcher.h"
#include "format.h"
#include "sys/diagnostics.h"

// As the launcher finds it: ${XDG_CACHE_HOME:-$HOME/.cache}/sfxlaunch, a
// relative $XDG_CACHE_HOME ignored. Empty when there is none.
static std::string cache_root()
{
    const char *xdg = getenv("XDG_CACHE_HOME");
    const char *home = getenv("HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/" CACHE_DIR_NAME;
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.cache/" CACHE_DIR_NAME;
    return "";
}

// {prefix}-{id}, or one being unpacked or moved aside, {prefix}-{id}.XXXXXX.
static bool is_cache_dir_of(const std::string &entry, const std::string &prefix)
{
    if (entry.compare(0, prefix.size() + 1, prefix + "-") != 0)
        return false;
    std::string rest = entry.substr(prefix.size() + 1);
    size_t suffix = sizeof WORK_DIR_SUFFIX - 1;
    if (rest.size() != CACHE_ID_HEX_DIGITS && rest.size() != CACHE_ID_HEX_DIGITS + suffix)
        return false;
    if (rest.size() > CACHE_ID_HEX_DIGITS && rest[CACHE_ID_HEX_DIGITS] != WORK_DIR_SUFFIX[0])
        return false;
    return std::all_of(rest.begin(), rest.begin() + CACHE_ID_HEX_DIGITS,
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

enum { REMOVED, KEPT, FAILED, NOT_OURS };

// Removed only when it is the caller's and its lock can be taken at once,
// held while it goes.
static int forget_dir(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_uid != geteuid()) {
        if (fd >= 0)
            close(fd);
        return NOT_OURS;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        close(fd);
        if (error == EWOULDBLOCK)
            return KEPT;
        print_error(path + ": cannot lock it: " + strerror(error) + "; left as it is");
        return FAILED;
    }
    std::error_code error;
    std::filesystem::remove_all(path, error);
    close(fd);
    if (error) {
        print_error(path + ": " + error.message());
        return FAILED;
    }
    return REMOVED;
}

int forget_launcher(const std::string &path)
{
    MappedFile file;
    LauncherImage image;
    if (open_launcher(path, file, image) != 0)
        return EXIT_FAILED;
    std::string prefix = image.entries[0].name.substr(0, CACHE_NAME_PREFIX_MAX);
    std::string root = cache_root();
    if (root.empty()) {
        print_error("no cache to empty: neither $XDG_CACHE_HOME nor $HOME is an absolute path");
        return EXIT_FAILED;
    }
    struct stat st;
    std::vector<std::string> names;
    DIR *dir = lstat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? opendir(root.c_str())
                                                                    : nullptr;
    for (struct dirent *e; dir != nullptr && (e = readdir(dir)) != nullptr;)
        if (is_cache_dir_of(e->d_name, prefix))
            names.push_back(e->d_name);
    if (dir != nullptr)
        closedir(dir);
    std::sort(names.begin(), names.end());
    int status = 0;
    int removed = 0;
    for (const std::string &name : names) {
        std::string dir_path = root + "/" + name;
        int done = forget_dir(dir_path);
        if (done == REMOVED) {
            printf("removed %s\n", dir_path.c_str());
            removed++;
        } else if (done == KEPT) {
            printf("kept %s: in use\n", dir_path.c_str());
        } else if (done == FAILED) {
            status = EXIT_FAILED;
        }
    }
    if (names.empty())
        printf("nothing cached for %s in %s\n", prefix.c_str(), root.c_str());
    if (fflush(stdout) != 0) {
        print_error("cannot write to standard output");
        return EXIT_FAILED;
    }
    return status;
}
