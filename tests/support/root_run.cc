#include "root_run.h"

#include "files.h"

std::string test_root(const std::string &name) { return SFX_ROOTS_DIR "/" + name; }

std::string test_root_missing(const std::string &root)
{
    // The list of packages is written last, once every root is complete.
    if (!file_exists(SFX_ROOTS_DIR "/packages") || !file_exists(root + "/bin/sh"))
        return root + " is missing or incomplete: run scripts/bootstrap (make configure does)";
    return "";
}

std::string path_in_root(const std::string &root, const std::string &host_path)
{
    if (host_path.compare(0, root.size() + 1, root + "/") != 0)
        return "";
    return host_path.substr(root.size());
}

RunResult run_in_root(const std::string &root, const std::vector<std::string> &argv,
                      const RootRunOptions &options)
{
    // env -i first, so that unshare starts, and then execs argv, with the
    // given environment alone; unshare chroots and changes directory.
    std::vector<std::string> all = {"env", "-i"};
    all.insert(all.end(), options.env.begin(), options.env.end());
    all.insert(all.end(), {"unshare", "--mount", "--propagation", "private",
                           "--root=" + root, "--wd=" + options.cwd});
    if (options.mount_proc)
        all.push_back("--mount-proc");
    all.push_back("--");
    all.insert(all.end(), argv.begin(), argv.end());
    RunOptions run;
    run.timeout_seconds = options.timeout_seconds;
    return run_process(all, run);
}

bool target_runs_under_emulator(const std::string &target)
{
    if (target != "i386")
        return false;
    const std::string binfmt = "/proc/sys/fs/binfmt_misc";
    if (read_text(binfmt + "/status").rfind("enabled", 0) != 0)
        return false;
    // An i386 executable's header: ELF, 32-bit, little-endian, e_machine 3.
    for (const std::string &name : list_dir(binfmt)) {
        std::string entry = read_text(binfmt + "/" + name);
        if (entry.rfind("enabled\n", 0) == 0 &&
            entry.find("magic 7f454c4601010100000000000000000002000300") != std::string::npos)
            return true;
    }
    return false;
}
