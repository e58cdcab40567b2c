// sfxpack --unpack-once: the program replaces the launcher in its own
// process. Nothing is left to clean up, so the launcher's reasons to ignore
// SIGINT and SIGHUP are gone: the program starts with the dispositions the
// caller gave the launcher, as if started directly.
#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include "launcher.h"

int exec_in_place(const char *program_path, int argc, char **argv)
{
    char **program_args = program_argv(argc, argv);
    char **envp = program_environment();
    if (trace_enabled)
        trace_exec(program_path, program_args);
    // What stdio holds would be lost with the process image.
    fflush(stdout);
    restore_caller_dispositions();
    do {
        errno = 0;
        execve(program_path, program_args, envp);
    } while (errno == EINTR);
    perror(program_path);
    return STATUS_LAUNCH_FAILED;
}
