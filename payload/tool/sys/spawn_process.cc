#include "sys/spawn_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "sys/fatal_signals.h"

extern char **environ;

static bool names_variable(const std::string &entry, const std::string &name)
{
    return entry.size() > name.size() && entry[name.size()] == '=' &&
           entry.compare(0, name.size(), name) == 0;
}

// The caller's environment with the options applied as unsetenv and then
// setenv would apply them: a variable that is set again keeps its place.
static std::vector<std::string> child_environment(const SpawnOptions &options)
{
    std::vector<std::string> env;
    for (char **e = environ; *e; e++) {
        std::string entry = *e;
        bool unset = false;
        for (const std::string &name : options.unset_env)
            unset = unset || names_variable(entry, name);
        if (!unset)
            env.push_back(entry);
    }
    for (const std::string &pair : options.set_env) {
        std::string name = pair.substr(0, pair.find('='));
        bool replaced = false;
        for (std::string &entry : env)
            if (!replaced && names_variable(entry, name)) {
                entry = pair;
                replaced = true;
            }
        if (!replaced)
            env.push_back(pair);
    }
    return env;
}

static std::vector<char *> c_strings(const std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    pointers.reserve(strings.size() + 1);
    for (const std::string &s : strings)
        pointers.push_back(const_cast<char *>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

static void close_pair(int fds[2])
{
    for (int i = 0; i < 2; i++)
        if (fds[i] >= 0) {
            close(fds[i]);
            fds[i] = -1;
        }
}

// Fills actions with the child's streams and directory; the write ends of
// the pipes are kept in out_pipe[1] and err_pipe[1] until the child runs.
static int plan_streams(const SpawnOptions &options, posix_spawn_file_actions_t *actions,
                        int out_pipe[2], int err_pipe[2])
{
    const int create = O_WRONLY | O_CREAT | O_TRUNC;
    if (options.null_input)
        posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0);
    if (options.capture_output) {
        if (pipe2(out_pipe, O_CLOEXEC) != 0)
            return -1;
        posix_spawn_file_actions_adddup2(actions, out_pipe[1], 1);
    } else if (!options.output_file.empty()) {
        posix_spawn_file_actions_addopen(actions, 1, options.output_file.c_str(), create, 0644);
    }
    if (options.errors_with_output) {
        posix_spawn_file_actions_adddup2(actions, 1, 2);
    } else if (options.capture_errors) {
        if (pipe2(err_pipe, O_CLOEXEC) != 0)
            return -1;
        posix_spawn_file_actions_adddup2(actions, err_pipe[1], 2);
    } else if (!options.error_file.empty()) {
        posix_spawn_file_actions_addopen(actions, 2, options.error_file.c_str(), create, 0644);
    }
    if (!options.cwd.empty())
        posix_spawn_file_actions_addchdir_np(actions, options.cwd.c_str());
    return 0;
}

int spawn_start(const std::vector<std::string> &argv, const SpawnOptions &options,
                Spawned &child)
{
    child = Spawned();
    child.timeout_seconds = options.timeout_seconds;
    std::vector<std::string> env = child_environment(options);
    std::vector<char *> args = c_strings(argv);
    std::vector<char *> envp = c_strings(env);

    int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int rc = plan_streams(options, &actions, out_pipe, err_pipe) == 0 ? 0 : errno;
    // A helper is noted before a fatal signal can come between its start
    // and the note; it starts with the mask the caller had.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t old_mask;
    if (options.helper) {
        block_fatal_signals(old_mask);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setsigmask(&attributes, &old_mask);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    }
    if (rc == 0)
        rc = posix_spawnp(&child.pid, args[0], &actions, &attributes, args.data(),
                          envp.data());
    if (options.helper) {
        child.helper = rc == 0;
        if (rc == 0)
            note_running_helper(child.pid);
        restore_signal_mask(old_mask);
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        close_pair(out_pipe);
        close_pair(err_pipe);
        child.pid = -1;
        errno = rc;
        return -1;
    }
    if (out_pipe[1] >= 0)
        close(out_pipe[1]);
    if (err_pipe[1] >= 0)
        close(err_pipe[1]);
    child.out_fd = out_pipe[0];
    child.err_fd = err_pipe[0];
    return 0;
}

// Drains the captured streams into out and err; kills the child when the
// time runs out first.
static void read_streams(Spawned &child, std::string &out, std::string &err)
{
    struct pollfd fds[2] = {{child.out_fd, POLLIN, 0}, {child.err_fd, POLLIN, 0}};
    std::string *sinks[2] = {&out, &err};
    int open_count = (child.out_fd >= 0) + (child.err_fd >= 0);
    time_t deadline = time(nullptr) + child.timeout_seconds;
    while (open_count > 0) {
        int wait_ms = -1;
        if (child.timeout_seconds > 0) {
            int left = (int)(deadline - time(nullptr));
            if (left <= 0) {
                kill(child.pid, SIGKILL);
                break;
            }
            wait_ms = left * 1000;
        }
        if (poll(fds, 2, wait_ms) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n > 0) {
                sinks[i]->append(buffer, (size_t)n);
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_count--;
            }
        }
    }
    for (const struct pollfd &f : fds)
        if (f.fd >= 0)
            close(f.fd);
    child.out_fd = child.err_fd = -1;
}

void spawn_finish(Spawned &child, SpawnResult &result)
{
    read_streams(child, result.out, result.err);
    int status = 0;
    int waited;
    while ((waited = waitpid(child.pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (child.helper)
        note_running_helper(0);
    child.pid = -1;
    if (waited < 0)
        return;
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.term_signal = WTERMSIG(status);
}

SpawnResult spawn_process(const std::vector<std::string> &argv, const SpawnOptions &options)
{
    SpawnResult result;
    Spawned child;
    if (spawn_start(argv, options, child) != 0) {
        result.start_error = errno;
        return result;
    }
    spawn_finish(child, result);
    return result;
}
