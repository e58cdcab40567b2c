// Commands run inside the root file systems that scripts/build-test-roots
// builds under build/roots/, as CI runs them (as root): in a private mount
// namespace, chrooted, with exactly the environment given and nothing of the
// test's own.
#ifndef SFXLAUNCH_TESTS_ROOT_RUN_H
#define SFXLAUNCH_TESTS_ROOT_RUN_H

#include <memory>
#include <string>
#include <vector>

#include "files.h"
#include "process.h"

struct RootRunOptions {
    std::vector<std::string> env;  // NAME=VALUE: the whole environment
    bool mount_proc = false;       // /proc, seen in the namespace only
    // A /dev of its own, seen in the namespace only: null, zero, full,
    // random, urandom and tty (the host's), fd, and ptmx with a devpts
    // instance of its own at /dev/pts.
    bool private_dev = false;
    std::string cwd = "/";         // inside the root
    int timeout_seconds = 120;
};

// The host's path of a root: "debian11" (Debian 11's glibc for amd64 and
// i386, busybox, jq) or "nolibc" (a static busybox and no C library).
std::string test_root(const std::string &name);

// Empty when the root is there as built, else why it is not: a test fails
// with it, since a machine where bootstrap ran has every root.
std::string test_root_missing(const std::string &root);

// A host path under root as a process inside the root names it.
std::string path_in_root(const std::string &root, const std::string &host_path);

// Makes a test's own directory in root's /tmp (scratch) and TEMP below it,
// as launchers started there use, and names both as the root does.
// Returns "" or why it could not.
std::string make_root_scratch(const std::string &root, std::unique_ptr<ScratchDir> &scratch,
                              std::string &inside, std::string &temp);

RunResult run_in_root(const std::string &root, const std::vector<std::string> &argv,
                      const RootRunOptions &options = RootRunOptions());

// Whether the kernel hands programs of target to an emulator (binfmt_misc:
// qemu for i386 on kernels without 32-bit emulation), which then looks for
// their loader itself.
bool target_runs_under_emulator(const std::string &target);

#endif
