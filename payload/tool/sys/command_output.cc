#include "sys/command_output.h"

#include <string.h>

#include "sys/spawn_process.h"

// Why a helper that did not exit did not: the start error, the signal, or
// the failed wait.
static std::string no_exit_reason(const SpawnResult &result)
{
    if (result.start_error != 0)
        return strerror(result.start_error);
    if (result.term_signal != 0)
        return "killed by signal " + std::to_string(result.term_signal);
    return "its end could not be collected";
}

int run_command(const std::vector<std::string> &argv, const std::string &cwd,
                std::string &error)
{
    SpawnOptions options;
    options.cwd = cwd;
    options.helper = true;
    SpawnResult result = spawn_process(argv, options);
    if (result.exit_code == 0)
        return 0;
    if (result.exit_code > 0)
        error = "exit status " + std::to_string(result.exit_code);
    else if (result.start_error != 0)
        error = "cannot start it: " + no_exit_reason(result);
    else
        error = no_exit_reason(result);
    return -1;
}

int capture_command(const std::vector<std::string> &argv, std::string &output,
                    std::string &error)
{
    SpawnOptions options;
    options.null_input = true;
    options.capture_output = true;
    options.errors_with_output = true;
    options.helper = true;
    SpawnResult result = spawn_process(argv, options);
    output = result.out;
    if (result.exit_code < 0)
        error = no_exit_reason(result);
    return result.exit_code;
}
