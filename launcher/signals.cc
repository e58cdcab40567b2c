#include <signal.h>
#include <stdio.h>

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

__attribute__((constructor)) static void install_signal_dispositions(void)
{
    on_sigchld(SIGCHLD);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGWINCH, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    signal(SIGINT, SIG_IGN);
}
