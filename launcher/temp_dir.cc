#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statvfs.h>

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

enum { RUNS_PROGRAMS = 1, RUNS_NONE = 0, RUNS_UNKNOWN = -1 };

// Whether the file system under dir lets the program be executed: hardened
// hosts mount /tmp noexec, and a read-only one cannot take the files at
// all. RUNS_UNKNOWN (errno set) when dir cannot be examined.
static int programs_run_in(const char *dir, const char **reason)
{
    // The work directory's name joins dir to the rest with a '/': an empty
    // TEMP puts it at the root.
    struct statvfs64 fs;
    if (statvfs64(dir[0] != '\0' ? dir : "/", &fs) != 0) {
        *reason = strerror(errno);
        return RUNS_UNKNOWN;
    }
    if (fs.f_flag & ST_RDONLY) {
        *reason = "read-only";
        return RUNS_NONE;
    }
    if (fs.f_flag & ST_NOEXEC) {
        *reason = "mounted noexec";
        return RUNS_NONE;
    }
    return RUNS_PROGRAMS;
}

static void trace_skip(const char *dir, const char *reason)
{
    if (trace_enabled)
        printf("temp dir: skip '%s': %s\n", dir, reason);
}

// The caller's temp directory once it failed the test, and why, for the
// message when no fallback passes either.
static const char *caller_dir = NULL;
static const char *caller_reason = NULL;

// The one test that every candidate takes, the caller's temp directory and
// each fallback alike; one that fails is passed over, traced. The caller's
// passes when it cannot even be examined: making the work directory there
// then reports why.
static int candidate_passes(const char *dir, int callers_own)
{
    const char *reason = NULL;
    int runs = programs_run_in(dir, &reason);
    if (runs == RUNS_PROGRAMS || (runs == RUNS_UNKNOWN && callers_own))
        return 1;
    if (callers_own) {
        caller_dir = dir;
        caller_reason = reason;
    }
    trace_skip(dir, reason);
    return 0;
}

int caller_temp_dir_will_do(const char *dir)
{
    return candidate_passes(dir, 1);
}

// How many fallbacks have been answered or passed over, and the one
// answered last.
static int fallbacks_done = 0;
static const char *fallback_answered = NULL;

// Tried in this order when the caller's temp directory cannot run programs:
// the user's own runtime directory (a tmpfs that systemd makes per user),
// then the shared memory tmpfs, then the temp directory that survives
// reboots. The XDG rules ignore a relative $XDG_RUNTIME_DIR.
const char *next_fallback_temp_dir(int error)
{
    if (fallback_answered != NULL)
        trace_skip(fallback_answered, strerror(error));
    fallback_answered = NULL;
    const char *fallbacks[] = {getenv("XDG_RUNTIME_DIR"), "/dev/shm", "/var/tmp"};
    const int count = sizeof fallbacks / sizeof fallbacks[0];
    while (fallbacks_done < count) {
        const char *dir = fallbacks[fallbacks_done++];
        if (dir == NULL || dir[0] != '/') {
            if (trace_enabled)
                printf("temp dir: skip $XDG_RUNTIME_DIR: %s\n",
                       dir == NULL ? "not set" : "not absolute");
            continue;
        }
        if (candidate_passes(dir, 0)) {
            fallback_answered = dir;
            return dir;
        }
    }
    fprintf(stderr,
            "%s is %s, and no fallback ($XDG_RUNTIME_DIR, /dev/shm, /var/tmp) can run "
            "programs either: set TEMP to a directory that can\n",
            caller_dir[0] != '\0' ? caller_dir : "/", caller_reason);
    return NULL;
}
