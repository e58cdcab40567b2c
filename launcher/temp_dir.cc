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

// Tried in this order when the caller's temp directory cannot run programs:
// the user's own runtime directory (a tmpfs that systemd makes per user),
// then the shared memory tmpfs, then the temp directory that survives
// reboots. The XDG rules ignore a relative $XDG_RUNTIME_DIR.
static int make_fallback_work_dir(void)
{
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    const char *fallbacks[] = {runtime, "/dev/shm", "/var/tmp"};
    for (const char *dir : fallbacks) {
        if (dir == NULL || dir[0] != '/') {
            if (trace_enabled)
                printf("temp dir: skip $XDG_RUNTIME_DIR: %s\n",
                       dir == NULL ? "not set" : "not absolute");
            continue;
        }
        const char *reason = NULL;
        if (programs_run_in(dir, &reason) != RUNS_PROGRAMS) {
            trace_skip(dir, reason);
            continue;
        }
        name_work_dir_in(dir);
        if (create_work_dir() == 0)
            return 0;
        trace_skip(dir, strerror(errno));
    }
    return -1;
}

// The caller's temp directory unless programs cannot run there, then the
// first fallback that takes a work directory. When the caller's directory
// cannot even be examined, making the work directory there reports why.
int make_run_work_dir(void)
{
    const char *first = temp_dir;
    const char *reason = NULL;
    if (programs_run_in(first, &reason) == RUNS_NONE) {
        trace_skip(first, reason);
        if (make_fallback_work_dir() == 0)
            return 0;
        fprintf(stderr,
                "%s is %s, and no fallback ($XDG_RUNTIME_DIR, /dev/shm, /var/tmp) can run "
                "programs either: set TEMP to a directory that can\n",
                first[0] != '\0' ? first : "/", reason);
        return -1;
    }
    if (create_work_dir() == 0)
        return 0;
    perror(work_dir);
    return -1;
}
