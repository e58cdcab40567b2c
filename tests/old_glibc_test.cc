// Launchers of both targets started on Debian 11's glibc 2.31, through its own
// dynamic loader (from the Debian 11 root that scripts/build-test-roots
// builds under build/), in every mode. The program a launcher starts runs on the host's glibc: what
// is proven is the launcher.
#include <algorithm>
#include <regex>

#include "sfx.h"

namespace {

struct OldGlibc {
    std::string loader;
    std::string library_dir;
};

OldGlibc debian11(const std::string &target)
{
    std::string root = SFX_ROOTS_DIR "/debian11";
    if (target == "x86_64")
        return {root + "/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2",
                root + "/lib/x86_64-linux-gnu"};
    return {root + "/lib/i386-linux-gnu/ld-linux.so.2", root + "/lib/i386-linux-gnu"};
}

// Work directories and process ids differ from run to run.
std::string without_pids(const std::string &text)
{
    static const std::regex pid("(probe-|pid |-> )[0-9]+");
    return std::regex_replace(text, pid, "$1N");
}

class OldGlibcRun : public TargetTest {
protected:
    ScratchDir scratch;
    ScratchDir temp;
    OldGlibc glibc;

    void SetUp() override
    {
#ifdef SFX_SANITIZED
        GTEST_SKIP() << "the sanitizers' run-time code needs the glibc that built it";
#endif
        glibc = debian11(target());
        // Bootstrap fetches these; a machine without them has not run it.
        ASSERT_TRUE(file_exists(glibc.loader) && file_exists(glibc.library_dir + "/libc.so.6"))
            << glibc.loader << " missing: run scripts/bootstrap (make configure does)";
    }
    // Runs program through Debian 11's loader, with its libc only.
    RunResult old(const std::string &program, const std::vector<std::string> &args,
                  RunOptions options = RunOptions())
    {
        std::vector<std::string> argv = {glibc.loader, "--library-path", glibc.library_dir,
                                         program};
        argv.insert(argv.end(), args.begin(), args.end());
        options.set_env.push_back("TEMP=" + temp.path);
        return run_process(argv, options);
    }
    // The same run on the host's glibc and on Debian 11's.
    void expect_same(const std::string &launcher, const std::vector<std::string> &args,
                     int exit_code)
    {
        RunResult now = run_launcher(launcher, args, temp.path);
        RunResult then = old(launcher, args);
        EXPECT_EQ(now.exit_code, exit_code) << now.err;
        EXPECT_EQ(then.exit_code, exit_code) << then.err;
        EXPECT_EQ(without_pids(then.out), without_pids(now.out));
        EXPECT_EQ(without_pids(then.err), without_pids(now.err));
        EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{}) << "the exit handler ran";
    }
};

TEST_P(OldGlibcRun, StartUpRunsEachConstructorOnceAndExitHandlers)
{
    std::string startup = fixture_path(target(), "startup");
    std::string expected = "preinit 1, constructor 1 with argc 3, main with argc 3, last b\n"
                           "atexit\ndestructor\n";
    for (const RunResult &r : {run_process({startup, "a", "b"}), old(startup, {"a", "b"})}) {
        EXPECT_EQ(r.exit_code, 43) << r.err;
        EXPECT_EQ(r.out, expected);
    }
}

TEST_P(OldGlibcRun, LauncherWorksInEveryModeAsOnTheHostsGlibc)
{
    std::string launcher = pack_probe(target(), scratch);
    expect_same(launcher, {"@version"}, 0);
    expect_same(launcher, {"@list"}, 0);
    expect_same(launcher, {"report", "two words", ""}, 0);
    expect_same(launcher, {"exit", "3"}, 3);
    // The dispositions the start-up constructor set, as the program inherits them.
    expect_same(launcher, {"dispositions"}, 0);

    // The end of the child is traced when the constructor's SIGCHLD handler
    // sees it, at a moment that depends on timing.
    RunResult traced = old(launcher, {"@debug", "exit", "4"});
    EXPECT_EQ(traced.exit_code, 4) << traced.err;
    std::vector<std::string> lines = split_lines(traced.out);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "SIGCHLD"), 1) << traced.out;
    lines.erase(std::remove(lines.begin(), lines.end(), "SIGCHLD"), lines.end());
    RunResult host = run_launcher(launcher, {"@debug", "exit", "4"}, temp.path);
    std::vector<std::string> host_lines = split_lines(host.out);
    host_lines.erase(std::remove(host_lines.begin(), host_lines.end(), "SIGCHLD"),
                     host_lines.end());
    EXPECT_EQ(without_pids(testing::PrintToString(lines)),
              without_pids(testing::PrintToString(host_lines)));

    ScratchDir cwd;
    RunOptions in_cwd;
    in_cwd.cwd = cwd.path;
    RunResult unpacked = old(launcher, {"@unpack"}, in_cwd);
    EXPECT_EQ(unpacked.exit_code, 0) << unpacked.err;
    EXPECT_EQ(read_text(cwd / "probe/probe"), read_text(fixture_path(target(), "probe")));
    EXPECT_EQ(read_text(cwd / "probe/libprobe.so"),
              read_text(fixture_path(target(), "libprobe.so")));
}

TEST_P(OldGlibcRun, ExecFailureLineCarriesTheSystemsText)
{
    write_text(scratch / "notprog", "plain text\n");
    std::string launcher = pack(target(), scratch / "text", {scratch / "notprog"});
    RunResult r = old(launcher, {});
    EXPECT_EQ(r.exit_code, 125);
    EXPECT_TRUE(std::regex_match(
        r.err, std::regex(temp.path + "/notprog-[0-9]+/notprog: Exec format error\n")))
        << r.err;
}

INSTANTIATE_FOR_TARGETS(OldGlibcRun);

}  // namespace
