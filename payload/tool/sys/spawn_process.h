// Starting another program and waiting for it: the one way the packer runs
// its helpers (compiler driver, patchelf, strip, ldconfig) and the tests run
// launchers and the packer.
#ifndef SFXPACK_SPAWN_PROCESS_H
#define SFXPACK_SPAWN_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

struct SpawnOptions {
    std::string cwd;                     // empty: the caller's
    std::vector<std::string> set_env;    // NAME=VALUE, over the caller's environment
    std::vector<std::string> unset_env;  // NAME
    bool null_input = false;             // standard input from /dev/null
    bool capture_output = false;         // standard output into SpawnResult::out
    bool capture_errors = false;         // standard error into SpawnResult::err
    bool errors_with_output = false;     // standard error goes where standard output goes
    std::string output_file;             // else standard output into this file
    std::string error_file;              // else standard error into this file
    int timeout_seconds = 0;             // then killed with SIGKILL; 0: no limit
    // A helper of the packer: started in a process group of its own, which
    // a fatal signal to the packer kills (fatal_signals.h).
    bool helper = false;
};

struct SpawnResult {
    int exit_code = -1;   // when it exited
    int term_signal = 0;  // when a signal ended it
    int start_error = 0;  // errno when it could not be started
    std::string out;
    std::string err;
};

// A started program whose end has not been collected yet.
struct Spawned {
    pid_t pid = -1;
    int out_fd = -1;  // the read ends of the captured streams, or -1
    int err_fd = -1;
    int timeout_seconds = 0;
    bool helper = false;
};

// Starts argv (argv[0] looked up in the caller's PATH unless it holds a
// '/'). Returns 0, or -1 with the reason in errno.
int spawn_start(const std::vector<std::string> &argv, const SpawnOptions &options,
                Spawned &child);

// Reads what the child prints until it closes its streams (or the time runs
// out), then waits for it, retrying on EINTR, and decodes its status.
void spawn_finish(Spawned &child, SpawnResult &result);

// spawn_start and spawn_finish in one.
SpawnResult spawn_process(const std::vector<std::string> &argv,
                          const SpawnOptions &options = SpawnOptions());

#endif
