#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "launcher.h"

// The child shares the parent's memory until execv: it may only set its
// own SIGPIPE disposition, retry, write(2) its one error line and _exit.
// errno_text returns a constant text without touching locale state, stdio
// or the heap.
static void report_exec_failure(const char *path, int error)
{
    char unknown[ERRNO_TEXT_ROOM];
    const char *text = errno_text(error, unknown);
    // Whole, however long the path, and in one write so that it stays one
    // line among what other processes write to the same place.
    struct iovec parts[] = {
        {const_cast<char *>(path), strlen(path)},
        {const_cast<char *>(": "), 2},
        {const_cast<char *>(text), strlen(text)},
        {const_cast<char *>("\n"), 1},
    };
    ssize_t ignored = writev(STDERR_FILENO, parts, 4);
    (void)ignored;
}

void trace_exec(const char *path, char *const argv[])
{
    printf("exec: '%s'", path);
    // A launcher started with no arguments at all hands over a vector that
    // holds only its null end.
    for (int i = 1; argv[0] != NULL && argv[i] != NULL; i++)
        printf(" '%s'", argv[i]);
    puts("\n");
}

// A program ended by signal N is reported as 128 + N, as shells do, so that
// a crash never looks like success.
static int exit_code_of(int status)
{
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return (status >> 8) & 0xff;
}

int run_program(const char *path, char *const argv[])
{
    char **envp = program_environment();
    if (trace_enabled)
        trace_exec(path, argv);

    pid_t pid;
    do {
        errno = 0;
        pid = vfork();
    } while (pid == -1 && errno == EINTR);
    if (pid == -1) {
        // The caller reports the failure again on the program's path:
        // perror may leave errno changed.
        int error = errno;
        perror("vfork");
        errno = error;
        return -1;
    }

    if (pid == 0) {
        // signal(2) is async-signal-safe, and a vfork child has its own
        // dispositions: only the memory is shared.
        restore_inherited_sigpipe();  // NOLINT(clang-analyzer-unix.Vfork)
        do {
            // The child's errno is the parent's too; the parent sets it
            // again before it reads it.
            errno = 0;  // NOLINT(clang-analyzer-unix.Vfork)
            execve(path, argv, envp);
        } while (errno == EINTR);
        report_exec_failure(path, errno);
        _exit(STATUS_LAUNCH_FAILED);
    }

    if (trace_enabled)
        printf("wait pid %lu\n", (unsigned long)pid);
    // vfork returns here only once the program has replaced the child: the
    // time spent reclaiming is the launcher's, while the program runs.
    reclaim_dead_work_dirs();
    int status = 0;
    pid_t waited;
    do {
        errno = 0;
        waited = waitpid(pid, &status, 0);
    } while (waited == -1 && errno == EINTR);
    int error = errno;
    print_pending_sigchld();
    if (waited == -1) {
        perror("waitpid");
        errno = error;
        return -1;
    }

    int result = exit_code_of(status);
    if (trace_enabled)
        printf("wait pid %lu -> %ld, status %ld\n", (unsigned long)pid,
               (long)waited, (long)result);
    if (waited != pid) {
        // Some other process was reaped: ours is not there to be waited for.
        errno = ECHILD;
        return -1;
    }
    return result;
}

char **program_argv(int argc, char **argv)
{
    char **child_argv = (char **)malloc(((size_t)argc + 1) * sizeof(char *));
    if (child_argv == NULL)
        die("no enough memory");
    if (argc > 0)
        child_argv[0] = (char *)payload_entries[0].name;
    for (int i = 1; i < argc; i++)
        child_argv[i] = argv[i];
    child_argv[argc] = NULL;
    return child_argv;
}

int launch_program(const char *program_path, int argc, char **argv)
{
    if (program_path == NULL)
        return STATUS_NO_PROGRAM;

    char **child_argv = program_argv(argc, argv);

    int result = run_program(program_path, child_argv);
    int error = errno;
    if (trace_enabled)
        printf("%s returns %d\n", program_path, result);
    if (result == -1) {
        errno = error;
        perror(program_path);
        free(child_argv);
        return STATUS_LAUNCH_FAILED;
    }
    free(child_argv);
    return result;
}
