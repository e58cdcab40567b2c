// Removing cache directories (sfxpack --unpack-once): old versions of this
// program that no run holds, each a tree of any shape, since a program may
// have added to it (removed by tree_remove.cc's walk).
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "launcher.h"

static int is_hex_id(const char *text, size_t length)
{
    for (size_t i = 0; i < length; i++)
        if (!((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f')))
            return 0;
    return 1;
}

// {prefix}-{id}, or with WORK_DIR_SUFFIX's six characters after it: a
// directory being unpacked or moved aside. 1 for the first, 2 for the
// second, 0 for any other name.
static int cache_dir_kind(const char *entry, const char *prefix, size_t prefix_length)
{
    if (strncmp(entry, prefix, prefix_length) != 0 || entry[prefix_length] != '-')
        return 0;
    const char *id = entry + prefix_length + 1;
    size_t rest = strlen(id);
    if (rest < CACHE_ID_HEX_DIGITS || !is_hex_id(id, CACHE_ID_HEX_DIGITS))
        return 0;
    if (rest == CACHE_ID_HEX_DIGITS)
        return 1;
    return rest == CACHE_ID_HEX_DIGITS + sizeof WORK_DIR_SUFFIX - 1 &&
                   id[CACHE_ID_HEX_DIGITS] == WORK_DIR_SUFFIX[0]
               ? 2
               : 0;
}

enum { UNUSED_DAYS = 30, DAY_SECONDS = 24 * 60 * 60 };

// When a run last used the complete directory open as fd: its record's
// mtime, which a run refreshes at most once a day; the directory's own
// when it has no record.
static int64_t last_used(int fd, const FileStatus *dir)
{
    FileStatus record;
    int record_fd = open_at(fd, WORK_DIR_MARKER, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    int64_t when = dir->modify_sec;
    if (record_fd != -1 && status_of(record_fd, &record) == 0 && S_ISREG(record.mode))
        when = record.modify_sec;
    if (record_fd != -1)
        close(record_fd);
    return when;
}

// Only the caller's own directory, only when no run holds it and none is
// unpacking it, never waiting; a complete one only when unused for
// UNUSED_DAYS. It is moved aside first, so that a run that opened it
// before finds its name gone once it gets the lock.
static void prune_dir(int root_fd, const char *entry, int kind, time_t now)
{
    int fd = open_at(root_fd, entry, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK);
    if (fd == -1)
        return;
    FileStatus held, named;
    if (status_of(fd, &held) == 0 && held.uid == (unsigned)geteuid() &&
        flock(fd, LOCK_EX | LOCK_NB) == 0 && status_at(root_fd, entry, &named) == 0 &&
        same_file(&held, &named) &&
        (kind == 2 || now - last_used(fd, &held) > (int64_t)UNUSED_DAYS * DAY_SECONDS)) {
        char aside[256];
        if (kind == 2 || move_aside(entry, aside) == 0) {
            if (remove_tree_at(root_fd, kind == 2 ? entry : aside) == 0 && trace_enabled)
                printf("cache: prune '%s/%s'\n", cache_root, entry);
        }
    }
    close(fd);
}

// What one start may spend on it, as reclaim_dead_work_dirs does: names
// read, and directories opened.
enum { PRUNE_NAMES_READ = 4096, PRUNE_DIRS_OPENED = 16 };

static char pruned[PRUNE_DIRS_OPENED][256];

void prune_cache_dirs(const char *own)
{
    const char *prefix = cache_prefix;
    size_t prefix_length = strlen(prefix);
    int fd = open_at(cache_root_fd, ".", O_RDONLY | O_DIRECTORY);
    if (fd == -1)
        return;
    // 8-byte aligned, as the kernel's records are.
    uint64_t buffer[8192 / sizeof(uint64_t)];
    long length;
    int names = 0, found = 0;
    int kinds[PRUNE_DIRS_OPENED];
    while (names < PRUNE_NAMES_READ && found < PRUNE_DIRS_OPENED &&
           (length = read_dir_entries(fd, buffer, sizeof buffer)) > 0) {
        for (long at = 0; at < length && found < PRUNE_DIRS_OPENED && names < PRUNE_NAMES_READ;
             names++) {
            const DirectoryRecord *record = (const DirectoryRecord *)((char *)buffer + at);
            const char *name = record->name;
            at += record->length;
            int kind = cache_dir_kind(name, prefix, prefix_length);
            if (kind == 0 || strcmp(name, own) == 0 || strlen(name) >= 256)
                continue;
            memcpy(pruned[found], name, strlen(name) + 1);
            kinds[found++] = kind;
        }
    }
    close(fd);
    time_t now = time(NULL);
    for (int i = 0; i < found; i++)
        prune_dir(cache_root_fd, pruned[i], kinds[i], now);
}
