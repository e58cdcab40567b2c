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
#include "payload.h"
#include "sys/diagnostics.h"

namespace {

// What was made so far, removed again unless the extraction completes:
// nothing half-written is left behind. Paths are relative to the directory,
// in the order they were made, and each one is ours: they are removed in
// the reverse order, directories last.
struct Made {
    std::string dir;
    int dir_fd = -1;
    std::vector<std::string> files;
    std::vector<bool> directories;  // files[i] is a directory
    // The directory of the entry before, kept open: a tree's entries of one
    // directory are consecutive.
    std::string open_path;
    int open_fd = -1;
    bool keep = false;
    void add(const std::string &path, bool directory)
    {
        files.push_back(path);
        directories.push_back(directory);
    }
    ~Made()
    {
        if (open_fd >= 0)
            close(open_fd);
        if (dir_fd < 0)
            return;
        if (!keep) {
            for (size_t i = files.size(); i-- > 0;)
                unlinkat(dir_fd, files[i].c_str(), directories[i] ? AT_REMOVEDIR : 0);
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
    // Every file's rooms must hold it: the program's and those of a tree's
    // other executables.
    uint32_t interpreter_room = loader.interpreter_room;
    uint32_t library_dir_room = loader.library_dir_room;
    for (const LoaderRoomEntry &room : loader.others) {
        interpreter_room = std::min(interpreter_room, room.interpreter_room);
        library_dir_room = std::min(library_dir_room, room.library_dir_room);
    }
    int64_t most = std::min((int64_t)interpreter_room - 2 - (int64_t)loader.loader_name.size(),
                            (int64_t)library_dir_room - 1);
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

int write_rooms(int fd, const std::string &loader_dir, const LoaderRecord &loader,
                uint32_t interpreter_at, uint32_t library_dir_at)
{
    if (write_path_at(fd, loader_dir + "/" + loader.loader_name, interpreter_at) != 0 ||
        write_path_at(fd, loader_dir, library_dir_at) != 0)
        return -1;
    return 0;
}

// What @unpack does to an entry's file once it is written: entry 0 and a
// --libc program's loader become 0700 (the others keep what creating them
// gave), and the program and a tree's other executables get loader_dir in
// their rooms. Returns 0, or -1 with errno set.
int finish_as_unpack_does(int fd, const LauncherImage &image, size_t index,
                          const std::string &loader_dir)
{
    const LoaderRecord &loader = image.loader;
    bool is_loader = loader.present && image.entries[index].name == loader.loader_name;
    if ((index == 0 || is_loader) && fchmod(fd, 0700) != 0)
        return -1;
    if (!loader.present)
        return 0;
    if (index == 0)
        return write_rooms(fd, loader_dir, loader, loader.interpreter_at, loader.library_dir_at);
    // The reader found the rooms in ascending order of entry.
    auto room = std::lower_bound(
        loader.others.begin(), loader.others.end(), index,
        [](const LoaderRoomEntry &other, size_t wanted) { return other.entry < wanted; });
    if (room == loader.others.end() || room->entry != index)
        return 0;
    return write_rooms(fd, loader_dir, loader, room->interpreter_at, room->library_dir_at);
}

// The directory that holds entry path (all but its last component) opened
// component by component from the one before, never through a link, and
// made (0700) where missing when make; leaf gets the last component.
// Returns a descriptor owned by made, or -1 after one message.
int open_parent(Made &made, const std::string &path, bool make, std::string &leaf)
{
    size_t slash = path.rfind('/');
    std::string parent = slash == std::string::npos ? "" : path.substr(0, slash);
    leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    if (parent.empty())
        return made.dir_fd;
    if (made.open_fd >= 0 && made.open_path == parent)
        return made.open_fd;
    int fd = made.dir_fd;
    for (size_t start = 0; start <= parent.size();) {
        size_t end = parent.find('/', start);
        if (end == std::string::npos)
            end = parent.size();
        std::string name = parent.substr(start, end - start);
        std::string sofar = parent.substr(0, end);
        int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && make) {
            if (mkdirat(fd, name.c_str(), 0700) != 0) {
                fail(made.dir + "/" + printable_name(sofar) + ": " + strerror(errno));
                next = -2;
            } else {
                made.add(sofar, true);
                next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            }
        }
        if (next == -1)
            fail(made.dir + "/" + printable_name(sofar) + ": " + strerror(errno));
        if (fd != made.dir_fd)
            close(fd);
        if (next < 0)
            return -1;
        fd = next;
        start = end + 1;
    }
    if (!make)
        return fd;
    if (made.open_fd >= 0)
        close(made.open_fd);
    made.open_fd = fd;
    made.open_path = parent;
    return fd;
}

// A tree's entry that has no stream: an empty directory, a symbolic link or
// a hard link to an earlier file, made from the descriptor of its directory.
int make_link_or_directory(Made &made, int parent, const std::string &leaf,
                           const LauncherImage &image, size_t index)
{
    const LauncherEntry &entry = image.entries[index];
    const TreeRecord &record = image.tree_entries[index];
    std::string shown = made.dir + "/" + printable_name(entry.name);
    int status = 0;
    if (record.kind == TREE_DIRECTORY) {
        status = mkdirat(parent, leaf.c_str(), 0700);
    } else if (record.kind == TREE_SYMLINK) {
        status = symlinkat(record.target.c_str(), parent, leaf.c_str());
    } else {
        const std::string &file = image.entries[record.link].name;
        std::string file_leaf;
        int file_parent = open_parent(made, file, false, file_leaf);
        if (file_parent < 0)
            return EXIT_FAILED;
        status = linkat(file_parent, file_leaf.c_str(), parent, leaf.c_str(), 0);
        int saved = errno;
        if (file_parent != made.dir_fd && file_parent != made.open_fd)
            close(file_parent);
        errno = saved;
    }
    if (status != 0)
        return fail(shown + ": " + strerror(errno));
    made.add(entry.name, record.kind == TREE_DIRECTORY);
    return 0;
}

// One entry into its file, checked against the manifest as it is written,
// then finished as @unpack leaves it; a tree's entry in its directory, with
// its mode, or its directory or link.
int extract_one(Made &made, const std::string &path, const LauncherImage &image,
                size_t index, const Manifest *manifest, const std::string &loader_dir)
{
    const LauncherEntry &entry = image.entries[index];
    std::string shown = made.dir + "/" + printable_name(entry.name);
    std::string leaf;
    int parent = open_parent(made, entry.name, true, leaf);
    if (parent < 0)
        return EXIT_FAILED;
    const TreeRecord *record = image.tree ? &image.tree_entries[index] : nullptr;
    if (record != nullptr && record->kind != TREE_FILE)
        return make_link_or_directory(made, parent, leaf, image, index);
    int fd = openat(parent, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    record != nullptr ? 0600 : 0666);
    if (fd < 0)
        return fail(shown + ": " + strerror(errno));
    made.add(entry.name, false);

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
    else if ((record != nullptr && fchmod(fd, record->mode) != 0) ||
             finish_as_unpack_does(fd, image, index, loader_dir) != 0)
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
    if (manifest_status == 0)
        for (size_t i = 0; i < image.entries.size(); i++) {
            problem = tree_mismatch(image, manifest, i);
            if (!problem.empty())
                return fail(path + ": entry " + std::to_string(i) + " '" +
                            printable_name(image.entries[i].name) + "': " + problem);
        }

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
