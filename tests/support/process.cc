#include "process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "files.h"

static void apply_options(const RunOptions &options)
{
    for (const std::string &name : options.unset_env)
        unsetenv(name.c_str());
    for (const std::string &pair : options.set_env) {
        size_t eq = pair.find('=');
        setenv(pair.substr(0, eq).c_str(), pair.substr(eq + 1).c_str(), 1);
    }
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
        _exit(250);
}

static std::vector<char *> c_argv(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    return args;
}

static void decode_status(int status, RunResult &result)
{
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.term_signal = WTERMSIG(status);
}

RunResult run_process(const std::vector<std::string> &argv,
                      const RunOptions &options)
{
    RunResult result;
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        return result;
    std::vector<char *> args = c_argv(argv);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        apply_options(options);
        execvp(args[0], args.data());
        _exit(251);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);

    time_t deadline = time(nullptr) + options.timeout_seconds;
    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        int left = (int)(deadline - time(nullptr));
        if (left <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, left * 1000) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buffer[65536];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, (size_t)n);
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_count--;
            }
        }
    }
    for (const auto &f : fds)
        if (f.fd >= 0)
            close(f.fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    decode_status(status, result);
    return result;
}

Started start_process(const std::vector<std::string> &argv,
                      const RunOptions &options, const std::string &scratch)
{
    static int counter = 0;
    Started started;
    std::string tag = std::to_string(getpid()) + "-" + std::to_string(counter++);
    started.out_path = scratch + "/started-" + tag + ".out";
    started.err_path = scratch + "/started-" + tag + ".err";
    std::vector<char *> args = c_argv(argv);
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(started.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(started.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        dup2(out, 1);
        dup2(err, 2);
        apply_options(options);
        execvp(args[0], args.data());
        _exit(251);
    }
    started.pid = pid;
    return started;
}

RunResult wait_process(const Started &started)
{
    RunResult result;
    int status = 0;
    while (waitpid(started.pid, &status, 0) < 0 && errno == EINTR) {
    }
    decode_status(status, result);
    result.out = read_text(started.out_path);
    result.err = read_text(started.err_path);
    return result;
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}
