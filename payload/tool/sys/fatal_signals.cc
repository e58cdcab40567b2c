#include "sys/fatal_signals.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const int fatal_signals[] = {SIGPIPE, SIGINT, SIGTERM, SIGHUP};

enum { SLOT_COUNT = 8, SLOT_FREE = 0, SLOT_FILE = 1, SLOT_DIRECTORY = 2 };

// Written by the main thread only, read by the handler, which runs on the
// main thread too (workers block the signals): a slot's path is complete
// before its kind says it is in use.
struct CleanupSlot {
    volatile sig_atomic_t kind;
    char path[PATH_MAX];
};

CleanupSlot slots[SLOT_COUNT];
volatile pid_t running_helper = 0;

// Only calls that are safe in a signal handler: no opendir, no malloc.
void remove_directory(const char *path)
{
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        char buffer[4096] __attribute__((aligned(8)));
        ssize_t n;
        while ((n = getdents64(fd, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < n;) {
                struct dirent64 *d = (struct dirent64 *)(buffer + at);
                at += d->d_reclen;
                if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0)
                    unlinkat(fd, d->d_name, 0);
            }
        }
        close(fd);
    }
    rmdir(path);
}

void on_fatal_signal(int signal_number)
{
    pid_t helper = running_helper;
    if (helper > 0) {
        kill(-helper, SIGKILL);
        while (waitpid(helper, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    for (CleanupSlot &slot : slots) {
        if (slot.kind == SLOT_FILE)
            unlink(slot.path);
        else if (slot.kind == SLOT_DIRECTORY)
            remove_directory(slot.path);
    }
    // The disposition is back to the default (SA_RESETHAND): the signal,
    // pending until the handler returns, then ends the packer.
    raise(signal_number);
}

}  // namespace

void catch_fatal_signals()
{
    for (int s : fatal_signals) {
        struct sigaction old;
        if (sigaction(s, nullptr, &old) != 0 || old.sa_handler == SIG_IGN)
            continue;
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = on_fatal_signal;
        action.sa_flags = SA_RESETHAND;
        sigfillset(&action.sa_mask);
        sigaction(s, &action, nullptr);
    }
}

int remove_on_signal(const char *path, bool directory)
{
    size_t length = strlen(path);
    if (length >= PATH_MAX)
        return -1;
    for (int i = 0; i < SLOT_COUNT; i++) {
        if (slots[i].kind != SLOT_FREE)
            continue;
        memcpy(slots[i].path, path, length + 1);
        slots[i].kind = directory ? SLOT_DIRECTORY : SLOT_FILE;
        return i;
    }
    return -1;
}

void forget_on_signal(int slot)
{
    if (slot >= 0 && slot < SLOT_COUNT)
        slots[slot].kind = SLOT_FREE;
}

void note_running_helper(pid_t group)
{
    running_helper = group;
}

void block_fatal_signals(sigset_t &old)
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : fatal_signals)
        sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, &old);
}

void restore_signal_mask(const sigset_t &old)
{
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}
