#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "launcher.h"

char work_dir[WORK_DIR_SIZE];
const char *temp_dir = NULL;
int work_dir_fd = -1;

enum { CLEANUP_SLOTS = PAYLOAD_MAX_ENTRIES };
// Paths of fully written files, in the order written; freed at exit. A tree
// payload records only its program's: its clean-up removes the whole tree.
static char *cleanup_paths[CLEANUP_SLOTS];
static int cleanup_count = 0;

// Length of work_dir before any random suffix.
static size_t work_dir_base = 0;
// A name cut short by the buffer is some other directory: it is never made,
// entered or removed, and making it fails as the kernel would fail it.
static bool work_dir_cut = false;

static void note_work_dir_length(int length, size_t room)
{
    work_dir_cut = length < 0 || (size_t)length >= room;
    work_dir_base = strlen(work_dir);
}

void die(const char *message)
{
    fprintf(stderr, "%s\n", message);
    exit(STATUS_DIED);
}

// Run mode unpacks under a temp directory, named after the program and the
// pid so that concurrent runs never share a directory; the other modes use
// the program's name in the current directory.
static void name_work_dir_in(const char *dir)
{
    temp_dir = dir;
    int length = snprintf(work_dir, WORK_DIR_SIZE - 1, "%s/%s" WORK_DIR_PID_SEPARATOR "%lu",
                          dir, payload_entries[0].name, (unsigned long)getpid());
    note_work_dir_length(length, WORK_DIR_SIZE - 1);
    if (trace_enabled)
        printf("work dir: '%s'\n", work_dir);
}

void name_work_dir(void)
{
    if (launch_mode == MODE_RUN) {
        name_work_dir_in(caller_temp_dir());
        return;
    }
    // Not strncpy: its zero fill would touch all 64 KiB of the buffer.
    int length = snprintf(work_dir, WORK_DIR_SIZE, "%s", payload_entries[0].name);
    note_work_dir_length(length, WORK_DIR_SIZE);
    if (trace_enabled)
        printf("work dir: '%s'\n", work_dir);
}

// The pid name is predictable: anyone may have made it first, as a directory
// or a symlink, and a launcher killed before its clean-up leaves it to a
// later one with the same pid (or to one in another pid namespace). What
// someone else made is never entered, reused or removed: a fresh private
// directory with a random suffix is made beside it and becomes the work
// directory. Returns -1 with errno set and work_dir back to its base name.
static int make_fresh_work_dir(void)
{
    static const char suffix[] = WORK_DIR_SUFFIX;
    size_t length = work_dir_base;
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

// The directory just made, opened without following a link, must be the
// caller's own and open to no one else: anything else at that name was put
// there by someone else, or the file system keeps no modes. Returns the
// descriptor, or -1 with errno ENOENT when the name is gone, EEXIST when
// what it names is someone else's, EPERM when it is the caller's but not
// private (and then removed).
static int open_made_work_dir(int flags)
{
    int fd = open(work_dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | flags);
    if (fd == -1)
        return -1;
    FileStatus made;
    int error = 0;
    if (status_of(fd, &made) != 0)
        error = errno;
    else if (made.uid != (unsigned)geteuid())
        error = EEXIST;
    else if ((made.mode & 077) != 0)
        error = EPERM;
    if (error == 0)
        return fd;
    close(fd);
    if (error == EPERM)
        rmdir(work_dir);
    errno = error;
    return -1;
}

enum { LOCK_TAKEN = 0, LOCK_FAILED = -1, LOCK_LOST = 1 };

// The lock says "in use" for as long as any process holds the descriptor:
// the launcher, and the program, which inherits it across execv. A later
// run reclaims a directory only when it can take the lock, whatever became
// of the pid, and only when it holds the marker, written here once the
// lock is held: a directory between its mkdir and its lock is never
// touched. LOCK_LOST when the directory went all the same (removed by
// hand, or by a launcher that reclaims otherwise) or is someone else's.
// Where the file system has no locks (NFS without lockd), the run goes on
// without one and without the marker: such a directory is never reclaimed.
static int lock_work_dir(void)
{
    int fd = open_made_work_dir(0);
    if (fd == -1)
        return errno == ENOENT || errno == EEXIST ? LOCK_LOST : LOCK_FAILED;
    int locked = flock(fd, LOCK_EX) == 0;
    if (!locked && errno != ENOLCK && errno != EOPNOTSUPP) {
        int error = errno;
        close(fd);
        errno = error;
        return LOCK_FAILED;
    }
    FileStatus held, named;
    if (status_of(fd, &held) != 0 || status_at(AT_FDCWD, work_dir, &named) != 0 ||
        !same_file(&held, &named)) {
        close(fd);
        return LOCK_LOST;
    }
    if (locked) {
        // Without it the directory is only never reclaimed: a run whose
        // disk is too full for an empty file fails on its first entry.
        int marker = create_at(fd, WORK_DIR_MARKER, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW,
                               0600);
        if (marker != -1)
            close(marker);
    }
    work_dir_fd = fd;
    return LOCK_TAKEN;
}

// Each loss needs someone removing the new directory in that very moment.
enum { LOCK_ATTEMPTS = 8 };

// Run mode: a fresh private directory, locked. Returns -1 with errno set and
// nothing left behind; reports nothing.
static int create_work_dir(void)
{
    if (trace_enabled)
        printf("makedir: %s\n", work_dir);
    if (work_dir_cut) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (mkdir(work_dir, 0700) != 0 && (errno != EEXIST || make_fresh_work_dir() != 0))
        return -1;
    for (int attempt = 1;; attempt++) {
        int locked = lock_work_dir();
        if (locked == LOCK_TAKEN)
            return 0;
        if (locked == LOCK_FAILED) {
            int error = errno;
            rmdir(work_dir);
            errno = error;
            return -1;
        }
        if (attempt == LOCK_ATTEMPTS) {
            errno = EBUSY;
            return -1;
        }
        if (make_fresh_work_dir() != 0)
            return -1;
    }
}

// Run mode: the work directory goes in the caller's temp directory, or,
// when that will not do, in the first fallback that takes one; temp_dir.cc
// says which will do.
static int make_run_work_dir(void)
{
    if (caller_temp_dir_will_do(temp_dir)) {
        if (create_work_dir() == 0)
            return 0;
        perror(work_dir);
        return -1;
    }
    for (const char *dir = next_fallback_temp_dir(0); dir != NULL;
         dir = next_fallback_temp_dir(errno)) {
        name_work_dir_in(dir);
        if (create_work_dir() == 0)
            return 0;
    }
    return -1;
}

// A program packed with its own C library, unpacked where its library
// search path cannot name the directory, would load other libraries; one
// packed with --env would find other files through its variables.
static int refuse_search_path_breaker(void)
{
    const char *problem = search_path_problem(work_dir);
    if (problem == NULL)
        return 0;
    char cwd[LOADER_PATH_ROOM];
    const LoaderPaths *paths = &payload_loader_paths;
    fprintf(stderr, "%s/%s is %s, which the packed program's %s cannot hold\n",
            getcwd(cwd, sizeof cwd) != NULL ? cwd : ".", work_dir, problem,
            paths != NULL ? "library search path" : "environment");
    return -1;
}

int make_work_dir(void)
{
    if (launch_mode == MODE_RUN)
        return make_run_work_dir();
    if (refuse_search_path_breaker() != 0)
        return -1;
    if (trace_enabled)
        printf("makedir: %s\n", work_dir);
    if (work_dir_cut)
        errno = ENAMETOOLONG;
    // A second unpack into the same current directory must fail and leave
    // the first copy alone.
    else if (mkdir(work_dir, 0700) == 0 &&
             (work_dir_fd = open_made_work_dir(O_CLOEXEC)) != -1)
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

void forget_recorded_paths(void)
{
    for (int i = 0; i < cleanup_count; i++) {
        free(cleanup_paths[i]);
        cleanup_paths[i] = NULL;
    }
    cleanup_count = 0;
}

// A tree run's work directory goes whole, with whatever the program made
// in it; the marker stays to the last, as in a flat run.
static void remove_work_dir_tree(void)
{
    TreeRemoval rules = {1, 0, 0, NULL, 0};
    remove_dir_contents(work_dir_fd, work_dir, WORK_DIR_MARKER, &rules);
}

void remove_extracted_files(void)
{
    size_t name_at = strlen(work_dir) + 1;
    int tree = is_tree_payload();
    for (int i = 0; i < cleanup_count; i++) {
        char *path = cleanup_paths[i];
        if (launch_mode == MODE_RUN && !tree) {
            if (trace_enabled)
                printf("%s: %s\n", "unlink", path);
            if (unlink_at(work_dir_fd, path + name_at, 0) != 0)
                perror(path);
        }
        free(path);
        cleanup_paths[i] = NULL;
    }
    cleanup_count = 0;

    if (launch_mode != MODE_RUN) {
        if (work_dir_fd != -1)
            close(work_dir_fd);
        work_dir_fd = -1;
        return;
    }
    if (tree)
        remove_work_dir_tree();
    if (trace_enabled)
        printf("%s: %s\n", "rmdir", work_dir);
    unlink_at(work_dir_fd, WORK_DIR_MARKER, 0);
    if (rmdir(work_dir) != 0)
        perror(work_dir);
    // Only now: a run that reclaimed the directory any earlier would race
    // the removals above.
    if (work_dir_fd != -1) {
        close(work_dir_fd);
        work_dir_fd = -1;
    }
}
