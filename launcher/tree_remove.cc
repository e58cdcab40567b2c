// Removing a tree payload's work directory: what was unpacked and whatever
// the program made beside it. Every directory is opened from its parent's
// descriptor without following a link, so a link is only ever removed
// itself, and a directory on another file system (a mount point inside) is
// never entered: removing it fails, reported, and what it holds stays.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "launcher.h"

// Names read per getdents64 call, per directory level.
enum { READ_ROOM = 16 * 1024 };

// The path of what is being removed, for messages; a path longer than this
// is shown cut short, as the descriptors do not need it.
static char removal_path[2 * WORK_DIR_SIZE];

static size_t append_name(size_t length, const char *name)
{
    size_t name_length = strlen(name);
    if (length + 1 + name_length >= sizeof removal_path)
        return length;
    removal_path[length] = '/';
    memcpy(removal_path + length + 1, name, name_length + 1);
    return length + 1 + name_length;
}

static void report_removal(const TreeRemoval *rules)
{
    if (rules->report)
        perror(removal_path);
}

static void trace_removal(const TreeRemoval *rules, const char *what)
{
    if (rules->report && trace_enabled)
        printf("%s: %s\n", what, removal_path);
}

static void remove_contents(int dir_fd, size_t length, uint64_t device, const char *skip,
                            TreeRemoval *rules);

static void set_removal_path(const char *path)
{
    size_t length = strlen(path);
    if (length >= sizeof removal_path)
        length = sizeof removal_path - 1;
    memcpy(removal_path, path, length);
    removal_path[length] = '\0';
}

// 0 when the directory is gone, with all it held.
static int remove_dir(int parent_fd, const char *name, size_t length, uint64_t device,
                      TreeRemoval *rules)
{
    int fd = open_at(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd == -1) {
        report_removal(rules);
        return -1;
    }
    FileStatus status;
    int enter = status_of(fd, &status) == 0 && status.device == device &&
                (!rules->check_owner || status.uid == rules->uid);
    if (enter)
        remove_contents(fd, length, device, NULL, rules);
    close(fd);
    if (rules->ran_out || (!enter && rules->check_owner))
        return -1;
    trace_removal(rules, "rmdir");
    if (unlink_at(parent_fd, name, AT_REMOVEDIR) != 0) {
        report_removal(rules);
        return -1;
    }
    return 0;
}

static void remove_name(int dir_fd, const char *name, unsigned char type, size_t length,
                        uint64_t device, TreeRemoval *rules)
{
    size_t name_length = append_name(length, name);
    int is_dir = type == DT_DIR;
    if (type == DT_UNKNOWN || rules->check_owner) {
        FileStatus status;
        if (status_at(dir_fd, name, &status) != 0) {
            report_removal(rules);
            removal_path[length] = '\0';
            return;
        }
        is_dir = S_ISDIR(status.mode);
        if (rules->check_owner && status.uid != rules->uid) {
            removal_path[length] = '\0';
            return;
        }
    }
    if (is_dir)
        remove_dir(dir_fd, name, name_length, device, rules);
    else {
        trace_removal(rules, "unlink");
        if (unlink_at(dir_fd, name, 0) != 0)
            report_removal(rules);
    }
    removal_path[length] = '\0';
}

// Whether one more name may be removed; counts it.
static int take_one(TreeRemoval *rules)
{
    if (rules->left == NULL)
        return 1;
    if (*rules->left == 0) {
        rules->ran_out = 1;
        return 0;
    }
    (*rules->left)--;
    return 1;
}

static void remove_contents(int dir_fd, size_t length, uint64_t device, const char *skip,
                            TreeRemoval *rules)
{
    // 8-byte aligned, as the kernel's records are.
    uint64_t *buffer = (uint64_t *)malloc(READ_ROOM);
    if (buffer == NULL) {
        errno = ENOMEM;
        report_removal(rules);
        return;
    }
    for (;;) {
        long got = read_dir_entries(dir_fd, buffer, READ_ROOM);
        if (got <= 0) {
            if (got < 0)
                report_removal(rules);
            break;
        }
        for (long at = 0; at < got;) {
            const DirectoryRecord *record = (const DirectoryRecord *)((char *)buffer + at);
            at += record->length;
            const char *name = record->name;
            if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 ||
                (skip != NULL && strcmp(name, skip) == 0))
                continue;
            if (!take_one(rules))
                break;
            remove_name(dir_fd, name, record->type, length, device, rules);
        }
        if (rules->ran_out)
            break;
    }
    free(buffer);
}

void remove_dir_contents(int dir_fd, const char *path, const char *skip, TreeRemoval *rules)
{
    set_removal_path(path);
    // A descriptor of its own: dir_fd's position may be shared with others.
    int fd = open_at(dir_fd, ".", O_RDONLY | O_DIRECTORY);
    FileStatus status;
    if (fd == -1 || status_of(fd, &status) != 0) {
        report_removal(rules);
        if (fd != -1)
            close(fd);
        return;
    }
    remove_contents(fd, strlen(removal_path), status.device, skip, rules);
    close(fd);
}

int remove_tree_at(int parent_fd, const char *name)
{
    FileStatus parent;
    if (status_of(parent_fd, &parent) != 0)
        return -1;
    TreeRemoval rules = {0, 0, 0, NULL, 0};
    set_removal_path(name);
    return remove_dir(parent_fd, name, strlen(removal_path), parent.device, &rules);
}
