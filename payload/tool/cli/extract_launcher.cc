#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

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

// One entry into its file, checked against the manifest as it is written.
// @unpack gives entry 0 mode 0700 and the others what creating them gives.
int extract_one(Made &made, const std::string &path, const LauncherImage &image,
                size_t index, const Manifest *manifest)
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
    else if (index == 0 && fchmod(fd, 0700) != 0)
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
        if (int status = extract_one(made, path, image, i, checked))
            return status;
    made.keep = true;
    return 0;
}
