#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include "launcher.h"

// The handler only counts: printing from it could interleave with a stdio
// write it interrupted, and writing around stdio would put the line before
// trace lines still held in the buffer. The main thread prints the lines
// once the wait is over.
static volatile sig_atomic_t sigchld_pending = 0;

static void on_sigchld(int)
{
    if (trace_enabled)
        sigchld_pending = sigchld_pending + 1;
    signal(SIGCHLD, on_sigchld);
}

void print_pending_sigchld(void)
{
    while (sigchld_pending > 0) {
        sigchld_pending = sigchld_pending - 1;
        puts("SIGCHLD");
    }
}

// Children the launcher inherited from whoever started it can end in any
// mode and at any time. Their lines come out at the latest here, after every
// other trace line; SIGCHLD is blocked first so that the count holds still.
static void print_sigchld_at_exit(void)
{
    sigset_t sigchld;
    sigemptyset(&sigchld);
    sigaddset(&sigchld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &sigchld, NULL);
    print_pending_sigchld();
}

// The launcher ignores SIGPIPE only for itself: a program that inherited
// the ignored disposition would spin on failing writes into a pipe whose
// reader has gone instead of ending as it would when started directly.
static sighandler_t inherited_sigpipe_action = SIG_DFL;

void restore_inherited_sigpipe(void)
{
    signal(SIGPIPE, inherited_sigpipe_action);
}

// What the caller gave the launcher for the signals it sets for itself: a
// program execed in place (unpack_once.cc) starts with these, as if started
// directly, since no launcher is left to outlive it.
static const int own_signals[] = {SIGCHLD, SIGWINCH, SIGHUP, SIGINT};
static sighandler_t inherited_actions[4] = {SIG_DFL, SIG_DFL, SIG_DFL, SIG_DFL};

void restore_caller_dispositions(void)
{
    for (int i = 0; i < 4; i++)
        signal(own_signals[i], inherited_actions[i]);
    restore_inherited_sigpipe();
}

static void note_inherited(int sig, sighandler_t inherited)
{
    for (int i = 0; i < 4; i++)
        if (own_signals[i] == sig && inherited != SIG_ERR)
            inherited_actions[i] = inherited;
}

__attribute__((constructor)) static void install_signal_dispositions(void)
{
    note_inherited(SIGCHLD, signal(SIGCHLD, on_sigchld));
    sighandler_t inherited = signal(SIGPIPE, SIG_IGN);
    if (inherited != SIG_ERR)
        inherited_sigpipe_action = inherited;
    note_inherited(SIGWINCH, signal(SIGWINCH, SIG_IGN));
    // The program is left to inherit these two ignored (execv keeps an
    // ignored disposition; only handlers are reset). The launcher must live
    // until its program ends to remove what it unpacked, and a launcher and
    // program started from a terminal are one job to the user: the interrupt
    // key and a closed terminal end neither, as under nohup, and packed
    // programs are made and tested against that. Unlike SIGPIPE, an ignored
    // SIGINT or SIGHUP leaves no call failing for a program to spin on, and
    // one that wants them installs its own handler.
    note_inherited(SIGHUP, signal(SIGHUP, SIG_IGN));
    note_inherited(SIGINT, signal(SIGINT, SIG_IGN));
    // Registered before anything else, so it runs after every other handler.
    atexit(print_sigchld_at_exit);
}
