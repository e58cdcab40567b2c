// Starting real processes from tests: the launcher, the packer, helpers.
#ifndef SFXLAUNCH_TESTS_PROCESS_H
#define SFXLAUNCH_TESTS_PROCESS_H

#include <string>
#include <vector>

struct RunOptions {
    std::vector<std::string> set_env;    // NAME=VALUE
    std::vector<std::string> unset_env;  // NAME
    std::string cwd;
    int timeout_seconds = 120;
};

struct RunResult {
    int exit_code = -1;   // when the process exited
    int term_signal = 0;  // when a signal ended it
    std::string out;
    std::string err;
};

RunResult run_process(const std::vector<std::string> &argv,
                      const RunOptions &options = RunOptions());

// A started process whose output goes to files, for tests that signal it.
struct Started {
    int pid = -1;
    std::string out_path;
    std::string err_path;
};
Started start_process(const std::vector<std::string> &argv,
                      const RunOptions &options, const std::string &scratch);
// Waits for it; fills the result from its output files.
RunResult wait_process(const Started &started);

std::vector<std::string> split_lines(const std::string &text);

// argv under strace, with strace's own arguments first. A sanitized program
// cannot look for leaks while it is traced (LeakSanitizer then stops with a
// report of its own), so under the sanitizers the traced program runs with
// leak checking off; every other check stays on.
std::vector<std::string> under_strace(const std::vector<std::string> &strace_args,
                                      const std::vector<std::string> &argv);

#endif
