#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "launcher.h"

char work_dir[WORK_DIR_SIZE];
char *cleanup_paths[CLEANUP_SLOTS];
int cleanup_count = 0;

void die(const char *message)
{
    fprintf(stderr, "%s\n", message);
    exit(127);
}

// Run mode unpacks under the temp directory, named after the program and the
// pid so that concurrent runs never share a directory; the other modes use
// the program's name in the current directory.
void name_work_dir(void)
{
    const char *name = payload_entries[0].name;

    if (launch_mode == MODE_RUN) {
        const char *tmp = getenv("TEMP");
        if (tmp == NULL)
            tmp = getenv("TMP");
        if (tmp == NULL)
            tmp = "/tmp";
        snprintf(work_dir, WORK_DIR_SIZE - 1, "%s/%s-%lu", tmp, name,
                 (unsigned long)getpid());
    } else {
        // Not strncpy: its zero fill would touch all 64 KiB of the buffer.
        snprintf(work_dir, WORK_DIR_SIZE, "%s", name);
    }
    if (trace_enabled)
        printf("work dir: '%s'\n", work_dir);
}

// The pid name is predictable: anyone may have made it first, as a directory
// or a symlink, and a launcher killed before its clean-up leaves it to a
// later one with the same pid (or to one in another pid namespace). What
// someone else made is never entered, reused or removed: a fresh private
// directory with a random suffix is made beside it and becomes the work
// directory. Returns -1 with errno set, work_dir unchanged.
static int make_fresh_work_dir(void)
{
    static const char suffix[] = ".XXXXXX";
    size_t length = strlen(work_dir);
    if (length + sizeof suffix > WORK_DIR_SIZE - 1) {
        errno = EEXIST;
        return -1;
    }
    memcpy(work_dir + length, suffix, sizeof suffix);
    if (mkdtemp(work_dir) == NULL) {
        int error = errno;
        work_dir[length] = '\0';
        errno = error;
        return -1;
    }
    if (trace_enabled)
        printf("makedir: %s\n", work_dir);
    return 0;
}

int make_work_dir(void)
{
    if (trace_enabled)
        printf("makedir: %s\n", work_dir);
    if (mkdir(work_dir, 0700) == 0)
        return 0;
    // A second unpack into the same current directory must fail and leave
    // the first copy alone.
    if (launch_mode == MODE_RUN && errno == EEXIST && make_fresh_work_dir() == 0)
        return 0;
    perror(work_dir);
    return -1;
}

void record_path(char *path)
{
    if (cleanup_count == CLEANUP_SLOTS)
        die("too many files");
    cleanup_paths[cleanup_count++] = path;
}

void remove_extracted_files(void)
{
    for (int i = 0; i < cleanup_count; i++) {
        char *path = cleanup_paths[i];
        if (launch_mode == MODE_RUN) {
            if (trace_enabled)
                printf("%s: %s\n", "unlink", path);
            if (unlink(path) != 0)
                perror(path);
        }
        free(path);
        cleanup_paths[i] = NULL;
    }
    cleanup_count = 0;

    if (launch_mode != MODE_RUN)
        return;
    if (trace_enabled)
        printf("%s: %s\n", "rmdir", work_dir);
    if (rmdir(work_dir) != 0)
        perror(work_dir);
}
