#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "launcher.h"

// The temp directory the caller chose: used unchanged, even when empty,
// relative or ending in a slash.
const char *caller_temp_dir(void)
{
    const char *dir = getenv("TEMP");
    if (dir == NULL)
        dir = getenv("TMP");
    if (dir == NULL)
        dir = "/tmp";
    return dir;
}


// Whether the file system under dir lets the program be executed: hardened
// hosts mount /tmp noexec, and a read-only one cannot take the files at
// all. UNKNOWN (errno set) when dir cannot be examined.
int programs_run_in(const char *dir, const char **reason)
{
    // The work directory's name joins dir to the rest with a '/': an empty
    // TEMP puts it at the root.
    struct statvfs64 fs;
    if (statvfs64(dir[0] != '\0' ? dir : "/", &fs) != 0) {
        *reason = strerror(errno);
        return UNKNOWN;
    }
    if (fs.f_flag & ST_RDONLY) {
        *reason = "read-only";
        return FAILS;
    }
    if (fs.f_flag & ST_NOEXEC) {
        *reason = "mounted noexec";
        return FAILS;
    }
    return PASSES;
}

// dir itself, not what a trailing slash would resolve it to.
static int status_of_dir(const char *dir, FileStatus *status)
{
    static char path[PATH_MAX];
    size_t length = strlen(dir);
    if (length >= sizeof path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(path, dir, length + 1);
    while (length > 1 && path[length - 1] == '/')
        path[--length] = '\0';
    return status_at(AT_FDCWD, length > 0 ? path : "/", status);
}

static char owner_reason[64];

// Whoever may rename entries of a temp directory may swap the work
// directory for one of their own between its making and its use, and the
// program is started by path: only the caller and root may, or anyone when
// the sticky bit keeps each to their own names. A symbolic link can be
// turned elsewhere at any time. The runtime directory is the caller's own
// by its rules.
const char *dir_status_problem(const FileStatus *status, int private_dir)
{
    unsigned uid = (unsigned)geteuid();
    if (S_ISLNK(status->mode))
        return "a symbolic link";
    if (status->uid != uid && (status->uid != 0 || private_dir)) {
        snprintf(owner_reason, sizeof owner_reason, "owned by uid %u", status->uid);
        return owner_reason;
    }
    if (private_dir && (status->mode & 077) != 0) {
        snprintf(owner_reason, sizeof owner_reason, "mode %04o, not 0700", status->mode & 07777);
        return owner_reason;
    }
    if ((status->mode & S_ISVTX) == 0 && (status->mode & 002) != 0)
        return "writable by others and not sticky";
    if ((status->mode & S_ISVTX) == 0 && (status->mode & 020) != 0)
        return "writable by group and not sticky";
    return NULL;
}

// UNKNOWN (errno set) when dir cannot be examined.
static int private_enough(const char *dir, int runtime_dir, const char **reason)
{
    FileStatus status;
    if (status_of_dir(dir, &status) != 0) {
        *reason = strerror(errno);
        return UNKNOWN;
    }
    // Nothing can be made in what is not a directory; making it says so.
    if (!S_ISDIR(status.mode) && !S_ISLNK(status.mode))
        return PASSES;
    if ((*reason = dir_status_problem(&status, runtime_dir)) == NULL &&
        (*reason = search_path_problem(dir)) == NULL)
        return PASSES;
    return FAILS;
}

static void trace_skip(const char *dir, const char *reason)
{
    if (trace_enabled)
        printf("temp dir: skip '%s': %s\n", dir, reason);
}

// The caller's temp directory once it failed the test, and why, for the
// message when no fallback passes either; whether it could run programs.
static const char *caller_dir = NULL;
static char caller_reason[64];
static int caller_runs_programs = 0;

// The one test that every candidate takes, the caller's temp directory and
// each fallback alike; one that fails is passed over, traced. The caller's
// passes when it cannot even be examined, or when the caller cannot write
// into it: making the work directory there then reports why.
static int candidate_passes(const char *dir, int callers_own, int runtime_dir)
{
    const char *reason = NULL;
    int runs = programs_run_in(dir, &reason);
    int verdict = runs == PASSES ? private_enough(dir, runtime_dir, &reason) : runs;
    if (verdict == PASSES || (verdict == UNKNOWN && callers_own))
        return 1;
    if (callers_own) {
        if (runs == PASSES && euidaccess(dir[0] != '\0' ? dir : "/", W_OK | X_OK) != 0)
            return 1;
        caller_dir = dir;
        snprintf(caller_reason, sizeof caller_reason, "%s", reason);
        caller_runs_programs = runs == PASSES;
    }
    trace_skip(dir, reason);
    return 0;
}

int caller_temp_dir_will_do(const char *dir)
{
    return candidate_passes(dir, 1, 0);
}

// How many fallbacks have been answered or passed over, and the one
// answered last.
static int fallbacks_done = 0;
static const char *fallback_answered = NULL;

// Tried in this order when the caller's temp directory will not do: the
// user's own runtime directory (a tmpfs that systemd makes per user), then
// the shared memory tmpfs, then the temp directory that survives reboots.
// The XDG rules ignore a relative $XDG_RUNTIME_DIR.
const char *next_fallback_temp_dir(int error)
{
    if (fallback_answered != NULL)
        trace_skip(fallback_answered, strerror(error));
    fallback_answered = NULL;
    const char *fallbacks[] = {getenv("XDG_RUNTIME_DIR"), "/dev/shm", "/var/tmp"};
    const int count = sizeof fallbacks / sizeof fallbacks[0];
    while (fallbacks_done < count) {
        int runtime_dir = fallbacks_done == 0;
        const char *dir = fallbacks[fallbacks_done++];
        if (dir == NULL || dir[0] != '/') {
            if (trace_enabled)
                printf("temp dir: skip $XDG_RUNTIME_DIR: %s\n",
                       dir == NULL ? "not set" : "not absolute");
            continue;
        }
        if (candidate_passes(dir, 0, runtime_dir)) {
            fallback_answered = dir;
            return dir;
        }
    }
    const char *shown = caller_dir[0] != '\0' ? caller_dir : "/";
    if (caller_runs_programs)
        fprintf(stderr,
                "%s is %s, and no fallback ($XDG_RUNTIME_DIR, /dev/shm, /var/tmp) will do "
                "either: set TEMP to a directory of your own that can run programs\n",
                shown, caller_reason);
    else
        fprintf(stderr,
                "%s is %s, and no fallback ($XDG_RUNTIME_DIR, /dev/shm, /var/tmp) can run "
                "programs either: set TEMP to a directory that can\n",
                shown, caller_reason);
    return NULL;
}
