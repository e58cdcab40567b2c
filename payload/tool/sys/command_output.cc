#include "sys/command_output.h"

#include "sys/spawn_process.h"

int capture_command(const std::vector<std::string> &argv, std::string &output)
{
    SpawnOptions options;
    options.null_input = true;
    options.capture_output = true;
    options.errors_with_output = true;
    options.helper = true;
    SpawnResult result = spawn_process(argv, options);
    output = result.out;
    return result.exit_code;
}
