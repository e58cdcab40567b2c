#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "launcher.h"

// glibc has the *at calls only from 2.4 and, built on 2.33 or newer, binds
// every stat call to fstat64@GLIBC_2.33 and the like: both above the
// launcher's floor. The kernel's own calls through syscall(2) (GLIBC_2.0)
// have been there since Linux 2.6.16. On x86_64 the kernel's struct stat is
// glibc's; on i386 its struct stat64 is glibc's struct stat64.
#if defined(__x86_64__)
typedef struct stat KernelStat;
enum { SYS_STAT_AT = SYS_newfstatat, SYS_STAT_FD = SYS_fstat };
#elif defined(__i386__)
typedef struct stat64 KernelStat;
enum { SYS_STAT_AT = SYS_fstatat64, SYS_STAT_FD = SYS_fstat64 };
#else
#error "the launcher runtime is built for x86_64 and i386 only"
#endif

static void fill_status(const KernelStat *from, FileStatus *status)
{
    status->device = (uint64_t)from->st_dev;
    status->inode = (uint64_t)from->st_ino;
    status->mode = (unsigned)from->st_mode;
    status->uid = (unsigned)from->st_uid;
    status->size = (uint64_t)from->st_size;
    status->change_sec = (int64_t)from->st_ctime;
    status->change_nsec = (long)from->st_ctim.tv_nsec;
    status->modify_sec = (int64_t)from->st_mtime;
}

// glibc's open adds O_LARGEFILE on i386 for the 64-bit calls; the kernel's
// own call needs it spelt out, or a file past 2 GiB cannot be opened.
int open_at(int dir_fd, const char *name, int flags)
{
    return create_at(dir_fd, name, flags, 0);
}

int open_inherited_at(int dir_fd, const char *name, int flags)
{
    return (int)syscall(SYS_openat, dir_fd, name, flags | O_LARGEFILE, 0);
}

int create_at(int dir_fd, const char *name, int flags, unsigned mode)
{
    return (int)syscall(SYS_openat, dir_fd, name, flags | O_CLOEXEC | O_LARGEFILE, mode);
}

int status_at(int dir_fd, const char *name, FileStatus *status)
{
    KernelStat st;
    if (syscall(SYS_STAT_AT, dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    fill_status(&st, status);
    return 0;
}

int status_of(int fd, FileStatus *status)
{
    KernelStat st;
    if (syscall(SYS_STAT_FD, fd, &st) != 0)
        return -1;
    fill_status(&st, status);
    return 0;
}

// The kernel's fchmodat has no flags and follows a link in the last step:
// only for names in a directory no one else can write to.
int change_mode_at(int dir_fd, const char *name, unsigned mode)
{
    return syscall(SYS_fchmodat, dir_fd, name, mode) == 0 ? 0 : -1;
}

int unlink_at(int dir_fd, const char *name, int flags)
{
    return syscall(SYS_unlinkat, dir_fd, name, flags) == 0 ? 0 : -1;
}

int same_file(const FileStatus *a, const FileStatus *b)
{
    return a->device == b->device && a->inode == b->inode;
}

int make_dir_at(int dir_fd, const char *name, unsigned mode)
{
    return syscall(SYS_mkdirat, dir_fd, name, mode) == 0 ? 0 : -1;
}

int symlink_at(const char *target, int dir_fd, const char *name)
{
    return syscall(SYS_symlinkat, target, dir_fd, name) == 0 ? 0 : -1;
}

// Never follows a link in the last step of from: flags 0.
int link_at(int from_fd, const char *from, int to_fd, const char *to)
{
    return syscall(SYS_linkat, from_fd, from, to_fd, to, 0) == 0 ? 0 : -1;
}

// readdir needs a DIR from opendir, and fdopendir is newer than the floor.
long read_dir_entries(int dir_fd, void *buffer, unsigned size)
{
    return syscall(SYS_getdents64, dir_fd, buffer, size);
}

int rename_at(int from_fd, const char *from, int to_fd, const char *to)
{
    return syscall(SYS_renameat, from_fd, from, to_fd, to) == 0 ? 0 : -1;
}

// utimensat(2) with no times: now, for both. glibc has it only from 2.6.
int touch_fd(int fd)
{
    return syscall(SYS_utimensat, fd, NULL, NULL, 0) == 0 ? 0 : -1;
}
