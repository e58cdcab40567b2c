#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "read/entry_decode.h"
#include "cli/commands.h"
#include "read/manifest_checks.h"
#include "cli/open_launcher.h"
#include "sys/diagnostics.h"

namespace {

// What was made so far, removed again unless the extraction completes:
// nothing half-written is left behind.
struct Made {
    std::string dir;
    int dir_fd = -1;
    std::vector<std::string> files;
    bool keep = false;
    ~Made()
    {
        if (dir_fd < 0)
            return;
        if (!keep) {
            for (const std::string &name : files)
                unlinkat(dir_fd, name.c_str(), 0);
            rmdir(dir.c_str());
        }
        close(dir_fd);
    }
};

int fail(const std::string &message)
{
    print_error(message);
    return EXIT_FAILED;
}

// For a --libc launcher: DIR as the absolute path that the program's loader
// path and library directory will name, made as the launcher makes its work
// directory's (the current directory before a relative one, nothing
// resolved). The library directory is a DT_RPATH, which its loader splits at
// ':' and in which it expands '$' tokens. Returns 0, or -1 with a reason.
int loader_dir_path(const std::string &dir, const LoaderRecord &loader, std::string &absolute,
                    std::string &error)
{
    absolute = dir;
    if (dir[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            error = std::string("getcwd: ") + strerror(errno);
            return -1;
        }
        absolute = std::string(cwd) + "/" + dir;
    }
    if (absolute.find_first_of(":$") != std::string::npos) {
        error = dir + ": the packed loader's library path cannot hold ':' or '$'";
        return -1;
    }
    int64_t most = std::min((int64_t)loader.interpreter_room - 2 -
                                (int64_t)loader.loader_name.size(),
                            (int64_t)loader.library_dir_room - 1);
    if ((int64_t)absolute.size() > most) {
        error = dir + ": the directory's path is too long for the packed loader's (at most " +
                std::to_string(std::max(most, (int64_t)0)) + " bytes)";
        return -1;
    }
    return 0;
}

// Writes text and its NUL at offset, as the launcher does into the rooms
// that the program keeps for them.
int write_path_at(int fd, const std::string &text, uint64_t offset)
{
    std::string bytes = text + '\0';
    ssize_t written = pwrite(fd, bytes.data(), bytes.size(), (off_t)offset);
    if (written == (ssize_t)bytes.size())
        return 0;
    if (written >= 0)
        errno = ENOSPC;
    return -1;
}

// What @unpack does to an entry's file once it is written: entry 0 and a
// --libc program's loader become 0700 (the others keep what creating them
// gave), and the program gets loader_dir in its rooms. Returns 0, or -1
// with errno set.
int finish_as_unpack_does(int fd, const LauncherImage &image, size_t index,
                          const std::string &loader_dir)
{
    const LoaderRecord &loader = image.loader;
    bool is_loader = loader.present && image.entries[index].name == loader.loader_name;
    if ((index == 0 || is_loader) && fchmod(fd, 0700) != 0)
        return -1;
    if (index != 0 || !loader.present)
        return 0;
    if (write_path_at(fd, loader_dir + "/" + loader.loader_name, loader.interpreter_at) != 0 ||
        write_path_at(fd, loader_dir, loader.library_dir_at) != 0)
        return -1;
    return 0;
}

// One entry into its file, checked against the manifest as it is written,
// then finished as @unpack leaves it.
int extract_one(Made &made, const std::string &path, const LauncherImage &image,
                size_t index, const Manifest *manifest, const std::string &loader_dir)
{
    const LauncherEntry &entry = image.entries[index];
    std::string shown = made.dir + "/" + printable_name(entry.name);
    int fd = openat(made.dir_fd, entry.name.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return fail(shown + ": " + strerror(errno));
    made.files.push_back(entry.name);

    DecodeTarget target;
    target.fd = fd;
    DecodedEntry decoded;
    std::string error, problem;
    if (decode_launcher_entry(entry, target, decoded, error) == 0 && manifest != nullptr)
        error = manifest_mismatch(*manifest, index, entry, decoded.size, decoded.sha256);
    // A failed write is the directory's disk, anything else the launcher.
    if (!error.empty() && decoded.write_failed)
        problem = shown + ": " + error;
    else if (!error.empty())
        problem = path + ": entry " + std::to_string(index) + " '" + printable_name(entry.name) +
                  "': " + error;
    else if (finish_as_unpack_does(fd, image, index, loader_dir) != 0)
        problem = shown + ": " + strerror(errno);
    if (close(fd) != 0 && problem.empty())
        problem = shown + ": " + strerror(errno);
    return problem.empty() ? 0 : fail(problem);
}

}  // namespace

int extract_launcher(const std::string &path, const std::string &dir)
{
    MappedFile file;
    LauncherImage image;
    if (open_launcher(path, file, image) != 0)
        return EXIT_FAILED;
    // Files are only ever created, never replaced: a table that a run could
    // not unpack cleanly is refused before anything is made.
    if (!image.sound())
        return fail(path + ": " + image.first_problem());
    Manifest manifest;
    std::string error;
    int manifest_status = launcher_manifest(image, manifest, error);
    std::string problem = manifest_problem(image, manifest, manifest_status, error, true);
    if (!problem.empty())
        return fail(path + ": manifest: " + problem);

    std::string loader_dir;
    if (image.loader.present && loader_dir_path(dir, image.loader, loader_dir, error) != 0)
        return fail(error);

    Made made;
    made.dir = dir;
    if (mkdir(dir.c_str(), 0700) != 0)
        return fail(dir + ": " + strerror(errno));
    made.dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (made.dir_fd < 0) {
        int saved = errno;
        rmdir(dir.c_str());
        return fail(dir + ": " + strerror(saved));
    }
    const Manifest *checked = manifest_status == 0 ? &manifest : nullptr;
    for (size_t i = 0; i < image.entries.size(); i++)
        if (int status = extract_one(made, path, image, i, checked, loader_dir))
            return status;
    made.keep = true;
    return 0;
}
