#include "root_run.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

namespace {

// Run by the host's shell inside the new mount namespace, before the chroot,
// so that the nodes are the host's own and every mount goes with the
// namespace; its arguments are the root, then the command to exec. The
// mounts are private to the namespace, so the host's mount table and the
// root's empty /dev on disk stay as they were. Binding the host's nodes
// works where mknod is refused; the devpts is an instance of its own, so
// that the root sees its own terminals only.
const char private_dev_script[] = R"(set -e
PATH=/usr/sbin:/usr/bin:/sbin:/bin
dev=$1/dev
shift
mount -t tmpfs -o mode=0755,size=64k,nosuid,noexec sfx-dev "$dev"
for node in null zero full random urandom tty; do
    : >"$dev/$node"
    mount --bind "/dev/$node" "$dev/$node"
done
mkdir "$dev/pts"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$dev/pts"
ln -s pts/ptmx "$dev/ptmx"
ln -s /proc/self/fd "$dev/fd"
exec "$@"
)";

// unshare's path, as the test's PATH finds it: env looks a command up in the
// PATH it sets, and the given environment may set one for inside the root.
std::string unshare_path()
{
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (size_t from = 0; from <= dirs.size();) {
        size_t end = dirs.find(':', from);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(from, end - from) + "/unshare";
        if (end > from && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        from = end + 1;
    }
    return "/usr/bin/unshare";
}

}  // namespace

std::string make_root_scratch(const std::string &root, std::unique_ptr<ScratchDir> &scratch,
                              std::string &inside, std::string &temp)
{
    scratch = std::make_unique<ScratchDir>(root + "/tmp");
    if (scratch->path.empty())
        return "cannot make a directory in " + root + "/tmp";
    inside = path_in_root(root, scratch->path);
    temp = inside + "/temp";
    make_dirs(*scratch / "temp");
    return "";
}

RunResult run_in_root(const std::string &root, const std::vector<std::string> &argv,
                      const RootRunOptions &options)
{
    // env -i just before the unshare that chroots, so that it, and then
    // argv, start with the given environment alone.
    std::vector<std::string> all;
    if (options.private_dev) {
        // The mount point; roots built before it was part of them lack it.
        if (mkdir((root + "/dev").c_str(), 0755) != 0 && errno != EEXIST)
            ADD_FAILURE() << "mkdir " << root << "/dev: " << strerror(errno);
        all = {unshare_path(), "--mount", "--propagation", "private", "--",
               "/bin/sh", "-c", private_dev_script, "sh", root, "env", "-i"};
        all.insert(all.end(), options.env.begin(), options.env.end());
        all.insert(all.end(), {unshare_path(), "--root=" + root, "--wd=" + options.cwd});
    } else {
        all = {"env", "-i"};
        all.insert(all.end(), options.env.begin(), options.env.end());
        all.insert(all.end(), {unshare_path(), "--mount", "--propagation", "private",
                               "--root=" + root, "--wd=" + options.cwd});
    }
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
