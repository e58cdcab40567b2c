// Running a helper program and keeping what it prints.
#ifndef SFXPACK_COMMAND_OUTPUT_H
#define SFXPACK_COMMAND_OUTPUT_H

#include <string>
#include <vector>

// Runs argv (looked up in PATH) with standard input from /dev/null and its
// standard output and standard error both in output. Returns its exit
// status, or -1 when it could not be started or was killed.
int capture_command(const std::vector<std::string> &argv, std::string &output);

#endif
