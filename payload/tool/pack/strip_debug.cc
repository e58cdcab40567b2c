#include "pack/strip_debug.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "format/entry_name.h"
#include "sys/command_output.h"

static int file_size(const std::string &path, uint64_t &size, std::string &error)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        error = path + ": " + strerror(errno);
        return -1;
    }
    size = (uint64_t)st.st_size;
    return 0;
}

int strip_debug_copies(TempDir &dir, std::vector<InputFile> &files,
                       const std::vector<uint64_t> &debug, std::vector<uint64_t> &saved,
                       std::string &error)
{
    const char *env = getenv("SFXPACK_STRIP");
    std::string strip = env && *env ? env : "strip";
    saved.assign(files.size(), 0);
    for (size_t i = 0; i < files.size(); i++) {
        InputFile &file = files[i];
        if (file.stored || debug[i] == 0)
            continue;
        if (dir.path.empty() && dir.create(error))
            return -1;
        // Named apart from the --bundle copies, which may be the input here.
        // A tree's entry names hold '/': the index keeps base names apart.
        std::string copy = dir.path + "/stripped-" + std::to_string(i) + "-" + base_name(file.name);
        std::string output;
        std::string why;
        int status =
            capture_command({strip, "--strip-debug", "-o", copy, file.path}, output, why);
        if (status < 0) {
            error = "cannot run " + strip + " (" + why +
                    "), which --strip needs (Debian package binutils)";
            return -1;
        }
        if (status != 0) {
            std::string line = output.substr(0, output.find('\n'));
            error = "strip could not remove the debug information of " + file.name + " (" +
                    file.path + "): " + (line.empty() ? "no reason given" : line);
            return -1;
        }
        uint64_t before = 0, after = 0;
        if (file_size(file.path, before, error) || file_size(copy, after, error))
            return -1;
        saved[i] = before > after ? before - after : 0;
        file.path = copy;
    }
    return 0;
}
