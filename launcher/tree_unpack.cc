// The entries of a tree payload: files, empty directories and links at
// relative paths in the work directory. Each directory on an entry's path is
// made (mode 0700) and opened from its parent's descriptor without following
// a link, so that nothing is ever written through one, whatever a path
// meets. The packer sorts the entries of one directory together: the last
// entry's directory stays open, and the next entry in it costs no walk.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "launcher.h"

// The directory of the last entry: its path relative to the work directory
// and its descriptor; work_dir_fd for the top.
static char open_dir_path[TREE_PATH_MAX + 1];
static size_t open_dir_length = 0;
static int open_dir_fd = -1;

int is_tree_payload(void)
{
    const PayloadTree *tree = &payload_tree;
    return tree != NULL;
}

const TreeEntry *tree_entry(unsigned index)
{
    return index < payload_tree.count ? &payload_tree.entries[index] : NULL;
}

// Reported on path cut at name_at + end, the component that failed.
static void report_component(char *path, size_t name_at, size_t end, int error)
{
    char kept = path[name_at + end];
    path[name_at + end] = '\0';
    errno = error;
    perror(path);
    path[name_at + end] = kept;
}

// The directory of the first length bytes of name, walked down from from_fd,
// which is the directory of its first start bytes; each missing component is
// made when make is set. Returns a new descriptor, or from_fd itself when
// there is nothing to walk, or -1 reported on path (name's full path, name
// at name_at). from_fd is never closed.
static int walk_down(int from_fd, const char *name, size_t start, size_t length, int make,
                     char *path, size_t name_at)
{
    int fd = from_fd;
    for (size_t at = start; at < length;) {
        size_t end = at;
        while (end < length && name[end] != '/')
            end++;
        int next = -1;
        if (end - at > ENTRY_NAME_MAX)
            errno = ENAMETOOLONG;
        else {
            char component[ENTRY_NAME_MAX + 1];
            memcpy(component, name + at, end - at);
            component[end - at] = '\0';
            int made = make && make_dir_at(fd, component, 0700) == 0;
            if (made || !make || errno == EEXIST)
                next = open_at(fd, component, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
            // The umask may have taken bits the owner needs.
            if (next != -1 && made && fchmod(next, 0700) != 0) {
                int error = errno;
                close(next);
                next = -1;
                errno = error;
            }
        }
        if (next == -1) {
            int error = errno;
            if (fd != from_fd)
                close(fd);
            report_component(path, name_at, end, error);
            return -1;
        }
        if (fd != from_fd)
            close(fd);
        fd = next;
        at = end + 1;
    }
    return fd;
}

// The entry's directory, the first length bytes of name, made and opened;
// kept open for the next entry. -1 when it cannot be, reported.
static int enter_entry_dir(const char *name, size_t length, char *path, size_t name_at)
{
    if (open_dir_fd != -1 && length == open_dir_length &&
        memcmp(name, open_dir_path, length) == 0)
        return open_dir_fd;
    // Deeper than the open one: walked on from there.
    int from = work_dir_fd;
    size_t start = 0;
    if (open_dir_fd != -1 && open_dir_length > 0 && length > open_dir_length &&
        name[open_dir_length] == '/' && memcmp(name, open_dir_path, open_dir_length) == 0) {
        from = open_dir_fd;
        start = open_dir_length + 1;
    }
    int fd = walk_down(from, name, start, length, 1, path, name_at);
    if (fd == -1)
        return -1;
    close_tree_dirs();
    memcpy(open_dir_path, name, length);
    open_dir_length = length;
    open_dir_fd = fd;
    return fd;
}

void close_tree_dirs(void)
{
    if (open_dir_fd != -1 && open_dir_fd != work_dir_fd)
        close(open_dir_fd);
    open_dir_fd = -1;
    open_dir_length = 0;
}

static size_t dir_length_of(const char *name)
{
    const char *slash = strrchr(name, '/');
    return slash == NULL ? 0 : (size_t)(slash - name);
}

static const char *base_name_of(const char *name)
{
    const char *slash = strrchr(name, '/');
    return slash == NULL ? name : slash + 1;
}

static int report_invalid(const char *path)
{
    errno = EINVAL;
    perror(path);
    return -1;
}

// A second name for an earlier file: its directory is opened again by the
// same walk, without making anything.
static int make_hard_link(unsigned index, unsigned link, int dir_fd, const char *base,
                          char *path)
{
    if (link >= index || payload_tree.entries[link].kind != TREE_FILE)
        return report_invalid(path);
    const char *other = payload_entries[link].name;
    size_t other_length = dir_length_of(other);
    int other_fd = work_dir_fd;
    if (other_length == open_dir_length && memcmp(other, open_dir_path, other_length) == 0)
        other_fd = open_dir_fd;
    else if (other_length > 0) {
        size_t name_at = strlen(work_dir) + 1;
        char *other_path = (char *)malloc(name_at + strlen(other) + 1);
        if (other_path == NULL)
            die("no enough memory");
        sprintf(other_path, "%s/%s", work_dir, other);
        other_fd = walk_down(work_dir_fd, other, 0, other_length, 0, other_path, name_at);
        free(other_path);
        if (other_fd == -1)
            return -1;
    }
    int result = link_at(other_fd, base_name_of(other), dir_fd, base);
    int error = errno;
    if (other_fd != work_dir_fd && other_fd != open_dir_fd)
        close(other_fd);
    if (result != 0) {
        errno = error;
        perror(path);
    }
    return result;
}

int unpack_tree_entry(unsigned index, char *path, const LoaderRoomRecord *room)
{
    const PayloadEntry *entry = &payload_entries[index];
    if (index >= payload_tree.count)
        return report_invalid(path);
    const TreeEntry *tree = &payload_tree.entries[index];
    // Only a file has bytes to fill.
    if (room != NULL && tree->kind != TREE_FILE)
        return report_invalid(path);
    size_t name_at = strlen(work_dir) + 1;
    int dir_fd = enter_entry_dir(entry->name, dir_length_of(entry->name), path, name_at);
    if (dir_fd == -1)
        return -1;
    const char *base = base_name_of(entry->name);
    switch (tree->kind) {
    case TREE_FILE:
        return write_entry(entry, path, dir_fd, base,
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, tree->mode & 0700, room);
    case TREE_DIRECTORY:
        // Just made in a directory no one else can write to: the name is
        // the directory itself.
        if (make_dir_at(dir_fd, base, 0700) != 0 || change_mode_at(dir_fd, base, 0700) != 0) {
            perror(path);
            return -1;
        }
        return 0;
    case TREE_SYMLINK:
        if (tree->target == NULL)
            return report_invalid(path);
        if (symlink_at(tree->target, dir_fd, base) != 0) {
            perror(path);
            return -1;
        }
        return 0;
    case TREE_HARD_LINK:
        return make_hard_link(index, tree->link, dir_fd, base, path);
    default:
        return report_invalid(path);
    }
}
