// sfxpack --unpack-once: launchers that unpack once per version and user
// into ~/.cache/sfxlaunch and exec their program in place, run for real
// with HOME pointed at a directory of the test's own.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>

#include "elf_file.h"
#include "sfx.h"

namespace {

bool wait_for_file(const std::string &path)
{
    for (int i = 0; i < 1200; i++) {
        if (!read_text(path).empty())
            return true;
        usleep(50000);
    }
    return false;
}

// The pids of pid's children, as the kernel lists them.
std::string children_of(int pid)
{
    std::string tid = std::to_string(pid);
    return read_text("/proc/" + tid + "/task/" + tid + "/children");
}

class UnpackOnce : public TargetTest {
protected:
    ScratchDir scratch;
    ScratchDir home;
    ScratchDir temp;
    std::string launcher;

    void SetUp() override { launcher = pack_probe(target(), scratch, {"--unpack-once"}); }

    std::string cache_root() const { return home / ".cache/sfxlaunch"; }
    std::vector<std::string> cache_dirs() const { return list_dir(cache_root()); }
    // The one complete directory of the cache.
    std::string cache_dir() const
    {
        std::vector<std::string> dirs = cache_dirs();
        return dirs.size() == 1 ? cache_root() + "/" + dirs[0] : "";
    }

    RunOptions options() const
    {
        RunOptions o;
        o.set_env = {"HOME=" + home.path};
        o.unset_env = {"XDG_CACHE_HOME"};
        return o;
    }
    RunResult run(const std::vector<std::string> &args, const std::string &which = "")
    {
        return run_launcher(which.empty() ? launcher : which, args, temp.path, options());
    }
    // The program's directory as it reports it (its exe's), after a run
    // that must succeed.
    std::string program_dir(const RunResult &r)
    {
        std::smatch m;
        EXPECT_EQ(r.exit_code, 0) << r.err;
        if (!std::regex_search(r.out, m, std::regex("exe=(.*)/probe\n")))
            return "";
        return m[1];
    }
};

// The same process from the launcher's start to the program's end, on the
// first run and on a later one; nothing left in the temp directory.
TEST_P(UnpackOnce, EachRunExecsTheProgramInPlace)
{
    for (const char *run_name : {"first", "warm"}) {
        SCOPED_TRACE(run_name);
        std::string flag = scratch / "running";
        unlink(flag.c_str());
        RunOptions o = options();
        o.set_env.push_back("TEMP=" + temp.path);
        Started started = start_process({launcher, "wait", flag}, o, scratch.path);
        ASSERT_TRUE(wait_for_file(flag)) << "the program never started";
        EXPECT_EQ(std::stoi(read_text(flag)), started.pid);
        EXPECT_EQ(children_of(started.pid), "");
        unlink(flag.c_str());
        RunResult r = wait_process(started);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, "waited\n");
    }
    RunResult report = run({"report", "x y"});
    EXPECT_EQ(program_dir(report), cache_dir());
    EXPECT_NE(report.out.find("argc=3\nargv[0]=probe\nargv[1]=report\nargv[2]=x y\n"),
              std::string::npos)
        << report.out;
    EXPECT_NE(report.out.find("library=42"), std::string::npos) << report.out;
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
    EXPECT_EQ(file_mode(cache_root()), 0700u);
    EXPECT_EQ(file_mode(cache_dir()), 0700u);
}

TEST_P(UnpackOnce, ExitStatusAndDeathBySignalAreTheProgramsOwn)
{
    EXPECT_EQ(run({"exit", "7"}).exit_code, 7);
    EXPECT_EQ(run({"exit", "7"}).exit_code, 7);
    RunResult killed = run({"signal", std::to_string(SIGSEGV)});
    EXPECT_EQ(killed.term_signal, SIGSEGV);
}

// The launcher ignores SIGINT and SIGHUP only to outlive its program: in
// place, the program has the caller's dispositions, and a real SIGINT or
// SIGTERM ends it.
TEST_P(UnpackOnce, TheProgramHasTheCallersSignalDispositions)
{
    ASSERT_EQ(run({"exit", "0"}).exit_code, 0);
    EXPECT_EQ(run({"dispositions"}).out,
              "SIGINT=default SIGHUP=default SIGPIPE=default SIGWINCH=default "
              "SIGCHLD=default SIGTERM=default\n");
    RunResult ignoring = run_process(
        {"sh", "-c", "trap '' INT PIPE && HOME=" + home.path + " exec " + launcher +
                         " dispositions"});
    EXPECT_EQ(ignoring.out,
              "SIGINT=ignored SIGHUP=default SIGPIPE=ignored SIGWINCH=default "
              "SIGCHLD=default SIGTERM=default\n");

    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        std::string flag = scratch / "running";
        unlink(flag.c_str());
        Started started = start_process({launcher, "wait", flag}, options(), scratch.path);
        ASSERT_TRUE(wait_for_file(flag));
        ASSERT_EQ(kill(started.pid, sig), 0);
        RunResult r = wait_process(started);
        EXPECT_EQ(r.term_signal, sig);
        unlink(flag.c_str());
    }
}

// @debug says where the directory is and what is execed, nothing after.
TEST_P(UnpackOnce, DebugTracesTheDirectoryAndTheExec)
{
    ASSERT_EQ(run({"exit", "0"}).exit_code, 0);
    RunResult r = run({"@debug", "exit", "0"});
    std::string dir = cache_dir();
    EXPECT_EQ(r.out, "cache dir: '" + dir + "'\nexec: '" + dir + "/probe' 'exit' '0'\n\n");
}

// Each accident is seen at the next start, which rebuilds the directory
// and runs the program from it; what the program adds is no damage.
TEST_P(UnpackOnce, DamageIsDetectedAndRepaired)
{
    std::string dir = program_dir(run({"report"}));
    ASSERT_EQ(dir, cache_dir());
    std::string library = dir + "/libprobe.so";
    std::string copy = scratch / "copy";
    const std::vector<std::pair<std::string, std::string>> damages = {
        {"deleted", "rm " + library},
        {"truncated", "truncate -s 100 " + library},
        {"copied over", "cp " + library + " " + copy + " && cp " + copy + " " + library},
        {"kind changed", "rm " + library + " && mkdir " + library},
        {"half finished", "rm " + dir + "/.sfxlaunch-work-dir"},
        {"mode changed", "chmod 0600 " + dir + "/probe"},
    };
    for (const auto &damage : damages) {
        SCOPED_TRACE(damage.first);
        ASSERT_EQ(run_process({"sh", "-c", damage.second}).exit_code, 0);
        RunResult r = run({"@debug", "report"});
        EXPECT_NE(r.out.find("cache: rebuild '" + dir + "'"), std::string::npos) << r.out;
        EXPECT_EQ(program_dir(r), dir);
        EXPECT_EQ(cache_dirs().size(), 1u);
        EXPECT_EQ(run({"@debug", "exit", "0"}).out.find("rebuild"), std::string::npos);
    }
    ASSERT_EQ(run({"litter"}).exit_code, 0);
    ASSERT_TRUE(file_exists(dir + "/litter"));
    EXPECT_EQ(run({"@debug", "exit", "0"}).out.find("rebuild"), std::string::npos);
}

// A damaged directory that a running program holds is left to it: the run
// goes on uncached.
TEST_P(UnpackOnce, ADamagedDirectoryInUseIsLeftAlone)
{
    std::string flag = scratch / "running";
    RunOptions o = options();
    o.set_env.push_back("TEMP=" + temp.path);
    Started holder = start_process({launcher, "wait", flag}, o, scratch.path);
    ASSERT_TRUE(wait_for_file(flag));
    std::string dir = cache_dir();
    // Not truncated: the running program has it mapped.
    ASSERT_EQ(unlink((dir + "/libprobe.so").c_str()), 0);
    RunResult r = run({"@debug", "report"});
    EXPECT_NE(r.out.find("cache: skip '" + dir + "': damaged, and in use"), std::string::npos)
        << r.out;
    EXPECT_EQ(program_dir(r).rfind(temp.path + "/probe-", 0), 0u);
    unlink(flag.c_str());
    EXPECT_EQ(wait_process(holder).exit_code, 0);
    EXPECT_EQ(program_dir(run({"report"})), dir);
}

// Killed while it unpacks, a first run leaves only a directory that is
// never used, and that the next run that unpacks removes.
TEST_P(UnpackOnce, AKilledFirstRunLeavesNothingThatIsUsed)
{
    // Long enough to unpack that the kill lands in the middle.
    write_text(scratch / "zeros", std::string(96u << 20, '\0'));
    std::string big = pack(target(), scratch / "big",
                           {"--unpack-once", "-1", fixture_path(target(), "probe"),
                            fixture_path(target(), "libprobe.so"), scratch / "zeros"});
    RunOptions o = options();
    o.set_env.push_back("TEMP=" + temp.path);
    Started started = start_process({big, "exit", "0"}, o, scratch.path);
    bool seen = false;
    for (int i = 0; i < 20000 && !seen; i++) {
        for (const std::string &name : list_dir(cache_root()))
            seen = seen || name.find('.') != std::string::npos;
        if (!seen)
            usleep(1000);
    }
    ASSERT_TRUE(seen) << "no directory being unpacked was seen";
    ASSERT_EQ(kill(started.pid, SIGKILL), 0);
    EXPECT_EQ(wait_process(started).term_signal, SIGKILL);
    std::vector<std::string> left = cache_dirs();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_NE(left[0].find('.'), std::string::npos) << "a directory that looks complete";

    RunResult r = run({"report"}, big);
    std::string dir = program_dir(r);
    ASSERT_EQ(cache_dirs().size(), 1u) << "the killed run's directory is still there";
    EXPECT_EQ(dir, cache_dir());
    EXPECT_EQ(dir.find('.', cache_root().size()), std::string::npos);
}

// Many first runs at once: every one runs the program, and all from the
// one directory that won. Under qemu an i386 run costs several times as
// much, so fewer of them race there.
TEST_P(UnpackOnce, ConcurrentFirstRunsAllSucceedAndAgree)
{
    const int runs = target() == "x86_64" ? 50 : 16;
    RunOptions o = options();
    o.set_env.push_back("TEMP=" + temp.path);
    std::vector<Started> started;
    for (int i = 0; i < runs; i++)
        started.push_back(start_process({launcher, "report"}, o, scratch.path));
    std::set<std::string> dirs;
    for (const Started &s : started) {
        RunResult r = wait_process(s);
        dirs.insert(program_dir(r));
    }
    EXPECT_EQ(dirs, std::set<std::string>{cache_dir()});
    EXPECT_EQ(cache_dirs().size(), 1u);
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
}

// Each cache that cannot be trusted or cannot run programs: the launcher
// says why under @debug and runs as an uncached one would.
TEST_P(UnpackOnce, AnUnfitCacheFallsBackToAnUncachedRun)
{
    struct Case {
        const char *what;
        std::string before;  // shell commands
        std::string skipped; // what the trace names
        bool needs_root;
    };
    std::string root = cache_root();
    std::string elsewhere = scratch / "elsewhere";
    const std::vector<Case> cases = {
        {"group-writable parent", "chmod 0770 " + home.path, home.path, false},
        {"symbolic link", "mkdir -p -m 0700 " + elsewhere + " " + home.path + "/.cache && ln -s " +
                              elsewhere + " " + root,
         root, false},
        {"mode 0755", "mkdir -p " + root + " && chmod 0755 " + root, root, false},
        {"another owner", "mkdir -p " + root + " && chown 4321 " + root, root, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs_root && geteuid() != 0)
            continue;
        remove_tree(home / ".cache");
        chmod(home.path.c_str(), 0700);
        ASSERT_EQ(run_process({"sh", "-c", c.before}).exit_code, 0);
        RunResult r = run({"@debug", "report"});
        EXPECT_NE(r.out.find("cache: skip '" + c.skipped + "': "), std::string::npos) << r.out;
        EXPECT_EQ(program_dir(r).rfind(temp.path + "/probe-", 0), 0u);
        EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
        EXPECT_FALSE(file_exists(elsewhere + "/probe"));
    }
    chmod(home.path.c_str(), 0700);
    RunOptions no_home;
    no_home.unset_env = {"HOME", "XDG_CACHE_HOME"};
    RunResult r = run_launcher(launcher, {"@debug", "report"}, temp.path, no_home);
    EXPECT_NE(r.out.find("cache: skip '$XDG_CACHE_HOME': no absolute $XDG_CACHE_HOME or "
                         "$HOME\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.exit_code, 0);
}

// A read-only or noexec file system under the cache: tmpfs in a private
// mount namespace.
TEST_P(UnpackOnce, AReadOnlyOrNoexecCacheFallsBackToAnUncachedRun)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    for (const char *flags : {"ro", "noexec"}) {
        SCOPED_TRACE(flags);
        std::string script = "mkdir -p -m 0700 \"$HOME/.cache\" && mount -t tmpfs -o " +
                             std::string(flags) + ",mode=0700 sfxtest \"$HOME/.cache\" && " +
                             "exec \"$L\" @debug report";
        RunOptions o = options();
        o.set_env.push_back("L=" + launcher);
        o.set_env.push_back("TEMP=" + temp.path);
        RunResult r = run_process(
            {"unshare", "-m", "--propagation", "private", "sh", "-c", script}, o);
        EXPECT_NE(r.out.find("cache: skip '"), std::string::npos) << r.out << r.err;
        EXPECT_EQ(program_dir(r).rfind(temp.path + "/probe-", 0), 0u);
    }
}

// Two versions of one program, each in its own directory; old versions
// unused for 30 days go when a run unpacks, unless a run holds them.
TEST_P(UnpackOnce, VersionsLiveSideBySideAndUnusedOnesArePruned)
{
    auto version = [&](int n) {
        write_text(scratch / "data", "version " + std::to_string(n) + "\n");
        return pack(target(), scratch / ("v" + std::to_string(n)),
                    {"--unpack-once", fixture_path(target(), "probe"),
                     fixture_path(target(), "libprobe.so"), scratch / "data"});
    };
    std::string v1 = version(1), v2 = version(2), v3 = version(3);
    std::string dir1 = program_dir(run({"report"}, v1));
    std::string dir2 = program_dir(run({"report"}, v2));
    EXPECT_NE(dir1, dir2);
    EXPECT_EQ(read_text(dir1 + "/data"), "version 1\n");
    EXPECT_EQ(read_text(dir2 + "/data"), "version 2\n");
    EXPECT_EQ(program_dir(run({"report"}, v1)), dir1);
    EXPECT_EQ(cache_dirs().size(), 2u);

    // v1 in use, both unused for 40 days as far as their records say.
    std::string flag = scratch / "running";
    RunOptions o = options();
    o.set_env.push_back("TEMP=" + temp.path);
    Started holder = start_process({v1, "wait", flag}, o, scratch.path);
    ASSERT_TRUE(wait_for_file(flag));
    for (const std::string &dir : {dir1, dir2})
        ASSERT_EQ(run_process({"touch", "-d", "40 days ago", dir + "/.sfxlaunch-work-dir"})
                      .exit_code,
                  0);
    std::string dir3 = program_dir(run({"report"}, v3));
    EXPECT_TRUE(file_exists(dir1 + "/probe")) << "a directory in use was pruned";
    EXPECT_FALSE(file_exists(dir2)) << "an unused directory was kept";
    EXPECT_TRUE(file_exists(dir3 + "/probe"));
    unlink(flag.c_str());
    EXPECT_EQ(wait_process(holder).exit_code, 0);
}

// sfxpack --forget empties the launcher's cache, every version of its
// name, except what a run holds; another program's cache stays.
TEST_P(UnpackOnce, ForgetRemovesWhatNoRunHolds)
{
    ScratchDir other_scratch;
    std::string other = pack(target(), other_scratch / "other",
                             {"--unpack-once", "--name", "other", fixture_path(target(), "probe"),
                              fixture_path(target(), "libprobe.so")});
    std::string dir = program_dir(run({"report"}));
    ASSERT_EQ(run({"exit", "0"}, other).exit_code, 0);
    RunOptions o = options();
    RunResult forgot = run_process({sfxpack_path(), "--forget", launcher}, o);
    EXPECT_EQ(forgot.exit_code, 0) << forgot.err;
    EXPECT_EQ(forgot.out, "removed " + dir + "\n");
    EXPECT_EQ(cache_dirs().size(), 1u);

    std::string flag = scratch / "running";
    o.set_env.push_back("TEMP=" + temp.path);
    Started holder = start_process({launcher, "wait", flag}, o, scratch.path);
    ASSERT_TRUE(wait_for_file(flag));
    RunResult kept = run_process({sfxpack_path(), "--forget", launcher}, o);
    EXPECT_EQ(kept.out, "kept " + dir + ": in use\n");
    unlink(flag.c_str());
    EXPECT_EQ(wait_process(holder).exit_code, 0);
    EXPECT_EQ(run_process({sfxpack_path(), "--forget", launcher}, o).out, "removed " + dir + "\n");
    EXPECT_EQ(run_process({sfxpack_path(), "--forget", launcher}, o).out,
              "nothing cached for probe in " + cache_root() + "\n");
}

// The id lies outside the code digest and the launcher still verifies,
// showing it;
// a launcher packed without the option never touches a cache.
TEST_P(UnpackOnce, VerifiesAndStaysOptIn)
{
    RunResult verified = run_sfxpack({"--verify", launcher});
    EXPECT_EQ(verified.exit_code, 0) << verified.out << verified.err;
    RunResult shown = run_sfxpack({"--inspect", launcher});
    EXPECT_TRUE(std::regex_search(shown.out, std::regex("\nunpack once: cache id [0-9a-f]{64}\n")))
        << shown.out;
    // Outside the code digest, a flip in the id is the manifest's to catch:
    // it would send every run to another directory.
    ElfImage image;
    std::string error;
    ASSERT_EQ(image.load(launcher, error), 0) << error;
    const ElfSection *id = image.find(".qzvdump.id");
    ASSERT_NE(id, nullptr);
    std::string flipped = scratch / "flipped";
    std::string bytes = read_text(launcher);
    bytes[id->offset + 7] ^= 0x10;
    write_text(flipped, bytes);
    RunResult caught = run_sfxpack({"--verify", flipped});
    EXPECT_EQ(caught.exit_code, 1) << caught.out;
    EXPECT_NE(caught.out.find("manifest: FAILED: the launcher's --unpack-once cache id differs"),
              std::string::npos)
        << caught.out;
    ScratchDir plain_scratch;
    std::string plain = pack_probe(target(), plain_scratch);
    RunResult r = run({"report"}, plain);
    EXPECT_EQ(program_dir(r).rfind(temp.path + "/probe-", 0), 0u);
    EXPECT_FALSE(file_exists(home / ".cache"));
}

INSTANTIATE_FOR_TARGETS(UnpackOnce);

}  // namespace
