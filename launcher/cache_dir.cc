// sfxpack --unpack-once: a run unpacks the payload once per version and
// user into ${XDG_CACHE_HOME:-$HOME/.cache}/sfxlaunch/{name}-{id}, and every
// later run checks that directory's completion record and uses it as it is.
// Whatever keeps the cache from being used safely makes the run go on as
// an uncached one would, traced once under @debug.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include "launcher.h"

char cache_root[CACHE_PATH_MAX];
int cache_root_fd = -1;
char cache_prefix[CACHE_NAME_PREFIX_MAX + 1];

// {prefix}-{id}: the directory in cache_root; work_dir is its path.
static char own_name[CACHE_NAME_MAX];
// Being unpacked: removed at exit unless it was renamed into place.
static char temp_name[CACHE_NAME_MAX];

static char reason_room[96];

static void trace_skip(const char *what, const char *reason)
{
    if (trace_enabled)
        printf("cache: skip '%s': %s\n", what, reason);
}

static const char *errno_reason(void)
{
    snprintf(reason_room, sizeof reason_room, "%s", strerror(errno));
    return reason_room;
}

// ${XDG_CACHE_HOME:-$HOME/.cache}, made (0700) when it is missing; the XDG
// rules ignore a relative $XDG_CACHE_HOME.
static const char *find_cache_home(char *home, size_t room)
{
    const char *xdg = getenv("XDG_CACHE_HOME");
    const char *user_home = getenv("HOME");
    int length;
    if (xdg != NULL && xdg[0] == '/')
        length = snprintf(home, room, "%s", xdg);
    else if (user_home != NULL && user_home[0] == '/')
        length = snprintf(home, room, "%s/.cache", user_home[1] != '\0' ? user_home : "");
    else
        return "no absolute $XDG_CACHE_HOME or $HOME";
    if (length < 0 || (size_t)length >= room)
        return "a path too long";
    while (length > 1 && home[length - 1] == '/')
        home[--length] = '\0';
    // As the XDG rules have it; a parent that is missing too is no cache.
    mkdir(home, 0700);
    return NULL;
}

// The temp-directory rule for every directory on the way to path: whoever
// may rename any of them may swap the cache for their own. A symbolic link
// on the way is judged by the directory it names; its own directory, judged
// before, keeps it from being turned elsewhere. Returns the problem, with
// the directory that has it in bad, or null.
static const char *path_problem(char *path, char *bad, size_t room)
{
    for (size_t i = 1;; i++) {
        char end = path[i];
        if ((end != '/' && end != '\0') || path[i - 1] == '/') {
            if (end == '\0')
                return NULL;
            continue;
        }
        path[i] = '\0';
        FileStatus status;
        const char *problem = NULL;
        if (status_at(AT_FDCWD, path, &status) != 0) {
            problem = errno_reason();
        } else if (S_ISLNK(status.mode)) {
            int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd == -1 || status_of(fd, &status) != 0)
                problem = errno_reason();
            if (fd != -1)
                close(fd);
        }
        if (problem == NULL && !S_ISDIR(status.mode))
            problem = "not a directory";
        if (problem == NULL)
            problem = dir_status_problem(&status, 0);
        if (problem != NULL)
            snprintf(bad, room, "%s", path);
        path[i] = end;
        if (problem != NULL || end == '\0')
            return problem;
    }
}

// cache_root, made and opened: the caller's own, 0700, not a link, in a
// home that passes the rule, where programs can run.
static const char *open_cache_root(char *shown, size_t room)
{
    char home[CACHE_PATH_MAX];
    snprintf(shown, room, "$XDG_CACHE_HOME");
    const char *problem = find_cache_home(home, sizeof home);
    if (problem == NULL)
        problem = path_problem(home, shown, room);
    if (problem != NULL)
        return problem;
    int length = snprintf(cache_root, sizeof cache_root, "%s/" CACHE_DIR_NAME,
                          home[1] != '\0' ? home : "");
    snprintf(shown, room, "%s", cache_root);
    if (length < 0 || (size_t)length >= sizeof cache_root)
        return "a path too long";
    mkdir(cache_root, 0700);
    cache_root_fd = open(cache_root, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    FileStatus status;
    if (cache_root_fd == -1)
        return errno == ELOOP ? "a symbolic link" : errno_reason();
    if (status_of(cache_root_fd, &status) != 0)
        return errno_reason();
    if ((problem = dir_status_problem(&status, 1)) != NULL)
        return problem;
    if (programs_run_in(cache_root, &problem) != PASSES)
        return problem;
    return NULL;
}

static void hex_of(const unsigned char *bytes, size_t digits, char *out)
{
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < digits; i++)
        out[i] = hex[(bytes[i / 2] >> (i % 2 == 0 ? 4 : 0)) & 0xf];
    out[digits] = '\0';
}

// work_dir becomes the cache directory's path; null when it will do.
static const char *name_cache_dir(void)
{
    char id[CACHE_ID_HEX_DIGITS + 1];
    hex_of(payload_cache.id, CACHE_ID_HEX_DIGITS, id);
    snprintf(cache_prefix, sizeof cache_prefix, "%s", payload_entries[0].name);
    snprintf(own_name, sizeof own_name, "%s-%s", cache_prefix, id);
    int length = snprintf(work_dir, WORK_DIR_SIZE, "%s/%s", cache_root, own_name);
    // Room for the name of a directory being unpacked beside it.
    if (length < 0 || (size_t)length + sizeof WORK_DIR_SUFFIX >= CACHE_PATH_MAX)
        return "a path too long";
    // The loader's search path and $ORIGIN in --env values split at ':' and
    // expand what follows a '$'.
    if (strchr(work_dir, ':') != NULL)
        return "a path with ':' in it";
    if (strchr(work_dir, '$') != NULL)
        return "a path with '$' in it";
    // Every executable's rooms: one that cannot hold the path would fail
    // the unpacking half-way, where a run in a temp directory would do.
    if (!loader_rooms_hold((size_t)length))
        return "too long a path for the packed loader's";
    return NULL;
}

int move_aside(const char *entry, char *aside)
{
    char path[CACHE_PATH_MAX + CACHE_NAME_MAX + sizeof WORK_DIR_SUFFIX];
    int length = snprintf(path, sizeof path, "%s/%s" WORK_DIR_SUFFIX, cache_root, entry);
    if (length < 0 || (size_t)length >= sizeof path || mkdtemp(path) == NULL)
        return -1;
    snprintf(aside, CACHE_NAME_MAX, "%s", path + strlen(cache_root) + 1);
    // Onto the empty directory just made, which only this run knows of.
    if (rename_at(cache_root_fd, entry, cache_root_fd, aside) == 0)
        return 0;
    unlink_at(cache_root_fd, aside, AT_REMOVEDIR);
    return -1;
}

enum { DIR_USED, DIR_MISSING, DIR_IN_USE, DIR_FOREIGN };

static int take_lock(int fd, int how)
{
    int result;
    do
        result = flock(fd, how);
    while (result != 0 && errno == EINTR);
    // Where the file system has no locks, nothing is ever pruned.
    return result == 0 || errno == ENOLCK || errno == EOPNOTSUPP ? 0 : -1;
}

// A day's precision is all pruning needs: the record's mtime is written
// no more often than that.
static void note_use(int record_fd)
{
    FileStatus record;
    if (status_of(record_fd, &record) == 0 && time(NULL) - record.modify_sec > (int64_t)24 * 60 * 60 &&
        touch_fd(record_fd) == 0)
        prune_cache_dirs(own_name);
}

// The complete directory, held shared on work_dir_fd, which the program
// inherits. A damaged one is moved aside and removed when no run holds it.
static int open_complete_dir(char **program_path)
{
    int fd = open_inherited_at(cache_root_fd, own_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd == -1) {
        if (errno == ENOENT)
            return DIR_MISSING;
        // Something that is not a directory, in a directory no one else
        // may write to: the caller's, and in the way.
        return unlink_at(cache_root_fd, own_name, 0) == 0 ? DIR_MISSING : DIR_FOREIGN;
    }
    FileStatus held, named;
    int record_fd = -1;
    int verdict = DIR_MISSING;
    if (status_of(fd, &held) != 0 || held.uid != (unsigned)geteuid() ||
        (held.mode & 077) != 0 || take_lock(fd, LOCK_SH) != 0)
        verdict = DIR_FOREIGN;
    else if (status_at(cache_root_fd, own_name, &named) != 0 || !same_file(&held, &named))
        verdict = DIR_MISSING;  // pruned or rebuilt while this run waited
    else if (cache_record_matches(fd, work_dir, &record_fd))
        verdict = DIR_USED;
    else if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        verdict = DIR_IN_USE;
    else {
        char aside[CACHE_NAME_MAX];
        if (trace_enabled)
            printf("cache: rebuild '%s'\n", work_dir);
        if (move_aside(own_name, aside) != 0)
            verdict = DIR_FOREIGN;
        else
            remove_tree_at(cache_root_fd, aside);
    }
    if (verdict == DIR_USED) {
        note_use(record_fd);
        work_dir_fd = fd;
        size_t room = strlen(work_dir) + strlen(payload_entries[0].name) + 2;
        *program_path = (char *)malloc(room);
        if (*program_path == NULL)
            die("no enough memory");
        snprintf(*program_path, room, "%s/%s", work_dir, payload_entries[0].name);
    } else {
        close(fd);
    }
    if (record_fd != -1)
        close(record_fd);
    return verdict;
}

static void remove_cache_temp(void)
{
    if (temp_name[0] != '\0')
        remove_tree_at(cache_root_fd, temp_name);
    temp_name[0] = '\0';
}

static const char *room_problem(void)
{
    uint64_t needed = 0;
    for (const PayloadEntry *e = payload_entries; e->name != NULL; e++) {
        const unsigned char *stream;
        uint32_t length;
        entry_stream(e, &stream, &length);
        if (length >= LZMA_ALONE_HEADER_SIZE)
            needed += lzma_alone_unpacked_size(stream);
    }
    struct statvfs64 fs;
    if (statvfs64(cache_root, &fs) == 0 && (uint64_t)fs.f_bavail * fs.f_frsize < needed)
        return "too little free space";
    return NULL;
}

// A private directory beside the final one, locked, made whole, marked
// complete and renamed into place. Of runs that race to be first, one
// rename wins and the others use its directory. 0 with the program ready,
// 1 with *reason when the run should go on uncached, -1 when unpacking

enum { CACHE_DIR_ATTEMPTS = 8 };

// failed (reported).
static int unpack_into_cache(char **program_path, const char **reason)
{
    if ((*reason = room_problem()) != NULL)
        return 1;
    char path[CACHE_PATH_MAX + CACHE_NAME_MAX + sizeof WORK_DIR_SUFFIX];
    static int registered = 0;
    if (!registered && atexit(remove_cache_temp) == 0)
        registered = 1;
    int fd = -1;
    // Between its mkdtemp and its lock, a new directory looks like one a
    // killed first run left, and another start may prune it: then a fresh
    // one is made. Each loss needs such a start in that very moment.
    for (int attempt = 1; fd == -1; attempt++) {
        snprintf(path, sizeof path, "%s/%s" WORK_DIR_SUFFIX, cache_root, own_name);
        if (mkdtemp(path) == NULL) {
            *reason = errno_reason();
            return 1;
        }
        snprintf(temp_name, sizeof temp_name, "%s", path + strlen(cache_root) + 1);
        fd = open_inherited_at(cache_root_fd, temp_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        FileStatus held, named;
        int locked = fd != -1 && take_lock(fd, LOCK_EX) == 0;
        int kept = fd != -1 && status_of(fd, &held) == 0 &&
                   status_at(cache_root_fd, temp_name, &named) == 0 && same_file(&held, &named);
        if (locked && kept)
            break;
        *reason = fd != -1 && !locked ? errno_reason() : "its new directory was taken away";
        if (fd != -1)
            close(fd);
        fd = -1;
        // What now has the name is no longer this run's to remove.
        if (kept)
            remove_cache_temp();
        temp_name[0] = '\0';
        if (attempt == CACHE_DIR_ATTEMPTS)
            return 1;
    }
    if (trace_enabled)
        printf("cache: unpack into '%s'\n", path);
    work_dir_fd = fd;
    if (unpack_payload(program_path) != 0)
        return -1;
    if (write_cache_record(fd, work_dir) == 0 &&
        rename_at(cache_root_fd, temp_name, cache_root_fd, own_name) == 0) {
        temp_name[0] = '\0';
        take_lock(fd, LOCK_SH);
        prune_cache_dirs(own_name);
        return 0;
    }
    int error = errno;
    remove_cache_temp();
    close(fd);
    work_dir_fd = -1;
    // The files stay, or went with the directory: nothing for the exit
    // handler of an uncached run to remove. The program's path was among them.
    forget_recorded_paths();
    *program_path = NULL;
    // Another run was first: its directory, checked as on any start.
    if ((error == EEXIST || error == ENOTEMPTY) && open_complete_dir(program_path) == DIR_USED)
        return 0;
    errno = error;
    *reason = error == EEXIST || error == ENOTEMPTY ? "another run's directory does not check"
                                                    : errno_reason();
    return 1;
}

int enter_cache_dir(char **program_path)
{
    static char root_shown[CACHE_PATH_MAX];
    const char *shown = root_shown;
    const char *reason = open_cache_root(root_shown, sizeof root_shown);
    if (reason == NULL && (reason = name_cache_dir()) != NULL)
        shown = work_dir;
    int verdict = DIR_FOREIGN;
    if (reason == NULL) {
        if (trace_enabled)
            printf("cache dir: '%s'\n", work_dir);
        verdict = open_complete_dir(program_path);
        if (verdict == DIR_USED)
            return 0;
        shown = work_dir;
        if (verdict == DIR_IN_USE)
            reason = "damaged, and in use";
        else if (verdict == DIR_FOREIGN)
            reason = "not the caller's own private directory";
    }
    if (verdict == DIR_MISSING) {
        int unpacked = unpack_into_cache(program_path, &reason);
        if (unpacked <= 0)
            return unpacked;
    }
    trace_skip(shown, reason);
    if (cache_root_fd != -1)
        close(cache_root_fd);
    cache_root_fd = -1;
    return 1;
}
