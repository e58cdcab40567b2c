// Running a helper program (compiler driver, patchelf, strip, ldconfig).
#ifndef SFXPACK_COMMAND_OUTPUT_H
#define SFXPACK_COMMAND_OUTPUT_H

#include <string>
#include <vector>

// Runs argv (looked up in PATH) with cwd as its directory. Returns 0, or -1
// with why it failed in error: "exit status N", "cannot start it: REASON" or
// "killed by signal N".
int run_command(const std::vector<std::string> &argv, const std::string &cwd,
                std::string &error);

// Runs argv (looked up in PATH) with standard input from /dev/null and its
// standard output and standard error both in output. Returns its exit
// status, or -1 with why in error (the start error's text, or "killed by
// signal N") when it could not be started or was killed.
int capture_command(const std::vector<std::string> &argv, std::string &output,
                    std::string &error);

#endif
