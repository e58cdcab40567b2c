#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "launcher.h"

static int is_digit(char c) { return c >= '0' && c <= '9'; }

// mkdtemp's alphabet; no ctype: its tables need a newer glibc than ours.
static int is_alnum(char c)
{
    return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// {name}-{pid} or {name}-{pid}.XXXXXX (format.h): what name_work_dir and
// make_fresh_work_dir make for this program's name. mkdtemp puts one of its
// alphabet in place of each X of the suffix.
static int is_work_dir_name(const char *entry, const char *name, size_t name_length)
{
    static const char separator[] = WORK_DIR_PID_SEPARATOR;
    if (strncmp(entry, name, name_length) != 0 ||
        strncmp(entry + name_length, separator, sizeof separator - 1) != 0)
        return 0;
    const char *p = entry + name_length + sizeof separator - 1;
    if (!is_digit(*p))
        return 0;
    while (is_digit(*p))
        p++;
    if (*p == '\0')
        return 1;
    for (const char *s = WORK_DIR_SUFFIX; *s != '\0'; s++, p++)
        if (*s == 'X' ? !is_alnum(*p) : *p != *s)
            return 0;
    return *p == '\0';
}

// Only what this launcher itself would have written there: regular files
// named after its entries, of the caller's own user. Anything else keeps
// the directory.
static void remove_entry_files(int dir_fd, unsigned uid)
{
    for (const PayloadEntry *e = payload_entries; e->name != NULL; e++) {
        FileStatus file;
        if (status_at(dir_fd, e->name, &file) == 0 && S_ISREG(file.mode) && file.uid == uid)
            unlink_at(dir_fd, e->name, 0);
    }
}

// Whether the directory holds the marker that its launcher wrote once it
// held the lock: a directory of the user's own, however it is named, has
// none.
static int has_marker(int dir_fd, unsigned uid)
{
    FileStatus marker;
    return status_at(dir_fd, WORK_DIR_MARKER, &marker) == 0 && S_ISREG(marker.mode) &&
           marker.uid == uid;
}

// What one run may remove of dead tree directories, counted in names: a
// tree of 100,000 entries takes several runs, each of them a bounded cost.
// What is left keeps its marker, and a later run goes on with it.
enum { RECLAIM_NAMES_REMOVED = 8192 };
static unsigned long names_left = RECLAIM_NAMES_REMOVED;

// Everything of the user's own in a dead tree run's directory, as deep as it
// goes on its file system, but the marker; 0 when all of it was gone
// through, -1 when this run's bound was reached first.
static int remove_tree_files(int dir_fd, unsigned uid)
{
    TreeRemoval rules = {0, 1, uid, &names_left, 0};
    remove_dir_contents(dir_fd, "", WORK_DIR_MARKER, &rules);
    return rules.ran_out ? -1 : 0;
}

// A directory is dead when nothing holds its lock: neither a launcher nor
// the program it started (nor anything that program passed the descriptor
// on to). Opened without following a link, checked for its owner and its
// marker before it is locked, and checked again, once locked, to be still
// the one of that name: another run may have reclaimed it since it was
// opened. Locked only for as long as that takes, and never waiting for the
// lock. The marker goes last, just before the directory: one that keeps
// anything else is the user's from then on.
static void reclaim_dir(int parent_fd, const char *entry)
{
    int fd = open_at(parent_fd, entry, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK);
    if (fd == -1)
        return;
    unsigned uid = (unsigned)geteuid();
    FileStatus held, named;
    if (status_of(fd, &held) == 0 && S_ISDIR(held.mode) && held.uid == uid &&
        has_marker(fd, uid) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        status_at(parent_fd, entry, &named) == 0 && same_file(&held, &named)) {
        int all_gone_through = 1;
        if (is_tree_payload())
            all_gone_through = remove_tree_files(fd, uid) == 0;
        else
            remove_entry_files(fd, uid);
        if (all_gone_through && unlink_at(fd, WORK_DIR_MARKER, 0) == 0 &&
            unlink_at(parent_fd, entry, AT_REMOVEDIR) == 0 && trace_enabled)
            printf("reclaim: %s/%s\n", temp_dir, entry);
    }
    close(fd);
}

// What one run may spend, however full the temp directory and whoever
// filled it: names read, and directories opened. Measured on ext4, reading
// 4096 names takes about 1.5 ms and examining 16 directories about 0.6 ms;
// 16 dead directories are more than kills leave between two runs. Which 16
// of the candidates read are opened is drawn anew each run, so that a later
// run gets to those passed over. Names past the first 4096 that the file
// system hands out are never read: a temp directory that full is left to
// its cleaner.
enum { RECLAIM_NAMES_READ = 4096, RECLAIM_DIRS_OPENED = 16 };

static char drawn[RECLAIM_DIRS_OPENED][256];

// A draw that differs from run to run; nothing here needs more.
static unsigned next_draw(void)
{
    static unsigned state = 0;
    if (state == 0)
        state = ((unsigned)getpid() << 16 ^ (unsigned)time(NULL)) | 1;
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

// Work directories that launchers of this program's name left behind when
// a signal or a crash ended them before their clean-up, in the temp
// directory this run uses. Called while the program starts, so that it
// costs the program nothing; whatever fails here is left as it is,
// unreported. Each candidate has the same chance to be among those opened
// (reservoir sampling); when there are no more than can be opened, all are,
// in the order read.
void reclaim_dead_work_dirs(void)
{
    const char *name = payload_entries[0].name;
    size_t name_length = strlen(name);
    size_t parent_length = strlen(temp_dir);
    // A cut-short work_dir does not name a directory of temp_dir.
    if (strlen(work_dir) <= parent_length + 1)
        return;
    const char *own = work_dir + parent_length + 1;

    DIR *dir = opendir(temp_dir[0] != '\0' ? temp_dir : "/");
    if (dir == NULL)
        return;
    unsigned candidates = 0;
    struct dirent64 *e;
    for (int names_read = 0; names_read < RECLAIM_NAMES_READ && (e = readdir64(dir)) != NULL;
         names_read++) {
        if (e->d_type != DT_DIR && e->d_type != DT_UNKNOWN)
            continue;
        if (!is_work_dir_name(e->d_name, name, name_length) || strcmp(e->d_name, own) == 0)
            continue;
        unsigned slot =
            candidates < RECLAIM_DIRS_OPENED ? candidates : next_draw() % (candidates + 1);
        candidates++;
        // A file name has at most 255 bytes.
        if (slot < RECLAIM_DIRS_OPENED)
            memcpy(drawn[slot], e->d_name, strlen(e->d_name) + 1);
    }
    int parent_fd = dirfd(dir);
    for (unsigned i = 0; i < candidates && i < RECLAIM_DIRS_OPENED; i++)
        reclaim_dir(parent_fd, drawn[i]);
    closedir(dir);
}
