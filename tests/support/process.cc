#include "process.h"

#include <stdlib.h>
#include <unistd.h>

#include "files.h"
#include "sys/spawn_process.h"

static SpawnOptions spawn_options(const RunOptions &options)
{
    SpawnOptions spawn;
    spawn.cwd = options.cwd;
    spawn.set_env = options.set_env;
    spawn.unset_env = options.unset_env;
    spawn.null_input = true;
    spawn.timeout_seconds = options.timeout_seconds;
    return spawn;
}

static RunResult run_result(const SpawnResult &spawned)
{
    RunResult result;
    result.exit_code = spawned.exit_code;
    result.term_signal = spawned.term_signal;
    result.out = spawned.out;
    result.err = spawned.err;
    return result;
}

RunResult run_process(const std::vector<std::string> &argv,
                      const RunOptions &options)
{
    SpawnOptions spawn = spawn_options(options);
    spawn.capture_output = true;
    spawn.capture_errors = true;
    return run_result(spawn_process(argv, spawn));
}

Started start_process(const std::vector<std::string> &argv,
                      const RunOptions &options, const std::string &scratch)
{
    static int counter = 0;
    Started started;
    std::string tag = std::to_string(getpid()) + "-" + std::to_string(counter++);
    started.out_path = scratch + "/started-" + tag + ".out";
    started.err_path = scratch + "/started-" + tag + ".err";
    SpawnOptions spawn = spawn_options(options);
    spawn.output_file = started.out_path;
    spawn.error_file = started.err_path;
    Spawned child;
    if (spawn_start(argv, spawn, child) == 0)
        started.pid = child.pid;
    return started;
}

RunResult wait_process(const Started &started)
{
    Spawned child;
    child.pid = started.pid;
    SpawnResult spawned;
    spawn_finish(child, spawned);
    RunResult result = run_result(spawned);
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

std::vector<std::string> under_strace(const std::vector<std::string> &strace_args,
                                      const std::vector<std::string> &argv)
{
    std::vector<std::string> traced = {"strace"};
    traced.insert(traced.end(), strace_args.begin(), strace_args.end());
    if (const char *asan = getenv("ASAN_OPTIONS"))
        traced.insert(traced.end(), {"env", std::string("ASAN_OPTIONS=") + asan + ":detect_leaks=0"});
    traced.insert(traced.end(), argv.begin(), argv.end());
    return traced;
}
