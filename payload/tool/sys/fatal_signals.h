// What a packer killed by SIGPIPE, SIGINT, SIGTERM or SIGHUP leaves behind:
// nothing. The handler removes the temporary directories and the half-made
// launcher, stops the helper that is running, and the packer then dies of
// the same signal, so its caller still sees what ended it.
#ifndef SFXPACK_FATAL_SIGNALS_H
#define SFXPACK_FATAL_SIGNALS_H

#include <signal.h>
#include <sys/types.h>

// Catches the fatal signals that the packer was not started ignoring.
void catch_fatal_signals();

// Names a file (or a directory, removed with the files in it) to remove if a
// fatal signal ends the packer. Returns a slot for forget_on_signal, or -1
// when there is no room (the path is then simply left to the normal path).
int remove_on_signal(const char *path, bool directory);
void forget_on_signal(int slot);

// The helper running now, in a process group of its own, or 0 for none: a
// fatal signal kills its whole group before anything is removed, so that
// no compiler or linker writes into a removed directory afterwards.
void note_running_helper(pid_t group);

// Keeps the fatal signals off the calling thread (for worker threads, so
// that the handler runs on the main thread); old receives the mask before.
void block_fatal_signals(sigset_t &old);
void restore_signal_mask(const sigset_t &old);

#endif
