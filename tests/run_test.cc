// Run mode end to end: the program runs from its unpacked copy with the
// caller's arguments and environment, its status becomes the launcher's, and
// what was unpacked is gone afterwards.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <regex>

#include "sfx.h"

namespace {

class Run : public TargetTest {
protected:
    ScratchDir scratch;
    ScratchDir temp;
    std::string launcher;

    void SetUp() override { launcher = pack_probe(target(), scratch); }
    RunResult launch(const std::vector<std::string> &args, const RunOptions &options = RunOptions())
    {
        return run_launcher(launcher, args, temp.path, options);
    }
    // The run kept its work directory, holding only left, and said so after
    // the failure's own message (if any).
    void expect_directory_kept(const RunResult &r, const std::string &message,
                               const std::vector<std::string> &left)
    {
        std::vector<std::string> dirs = list_dir(temp.path);
        ASSERT_EQ(dirs.size(), 1u);
        EXPECT_EQ(r.err, message + temp.path + "/" + dirs[0] + ": Directory not empty\n");
        EXPECT_EQ(list_dir(temp / dirs[0]), left);
    }
    std::string field(const RunResult &r, const std::string &name)
    {
        for (const std::string &line : split_lines(r.out))
            if (line.rfind(name + "=", 0) == 0)
                return line.substr(name.size() + 1);
        return "(missing)";
    }
};

TEST_P(Run, ProgramRunsFromItsUnpackedCopyWithTheCallersArguments)
{
    ScratchDir cwd;
    RunOptions options;
    options.cwd = cwd.path;
    RunResult r = launch({"report", "two words", "", "@debuG", "@debug", "last"}, options);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(field(r, "argc"), "6") << r.out;
    EXPECT_EQ(field(r, "argv[0]"), "probe");
    EXPECT_EQ(field(r, "argv[1]"), "report");
    EXPECT_EQ(field(r, "argv[2]"), "two words");
    EXPECT_EQ(field(r, "argv[3]"), "");
    EXPECT_EQ(field(r, "argv[4]"), "@debuG");
    EXPECT_EQ(field(r, "argv[5]"), "last");
    EXPECT_EQ(field(r, "argv[6]"), "(missing)");
    EXPECT_EQ(field(r, "cwd"), cwd.path);
    EXPECT_TRUE(std::regex_match(field(r, "exe"), std::regex(temp.path + "/probe-[0-9]+/probe")))
        << field(r, "exe");
    EXPECT_EQ(field(r, "library"), "42") << "libprobe.so found beside the program";
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
}

TEST_P(Run, ProgramSeesTheLaunchersEnvironmentUnchanged)
{
    RunOptions options;
    options.set_env = {"SFX_SOME_SETTING=a value with spaces", "TEMP=" + temp.path};
    options.unset_env = {"LD_LIBRARY_PATH"};
    std::vector<std::string> direct =
        split_lines(run_process({"/usr/bin/env"}, options).out);
    std::vector<std::string> seen = split_lines(run_process({launcher, "env"}, options).out);
    std::sort(direct.begin(), direct.end());
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, direct);
}

TEST_P(Run, ExitCodeOfTheProgramBecomesTheLaunchers)
{
    for (int code : {0, 1, 3, 122, 255}) {
        RunResult r = launch({"exit", std::to_string(code)});
        EXPECT_EQ(r.exit_code, code);
        EXPECT_EQ(r.out + r.err, "");
    }
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
}

TEST_P(Run, ProgramEndedBySignalGives128PlusItsNumber)
{
    for (int sig : {SIGKILL, SIGSEGV, SIGTERM, SIGABRT}) {
        RunResult r = launch({"signal", std::to_string(sig)});
        EXPECT_EQ(r.exit_code, 128 + sig) << "signal " << sig;
        EXPECT_EQ(without_emulator_notes(r.err), "");
    }
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
}

TEST_P(Run, DebugTracesTheWholeRun)
{
    RunResult r = launch({"@debug", "exit", "3"});
    ASSERT_EQ(r.exit_code, 3) << r.err;
    std::vector<std::string> lines = split_lines(r.out);
    // The end of the child is traced once, at a moment that depends on timing.
    auto sigchld = std::find(lines.begin(), lines.end(), "SIGCHLD");
    ASSERT_NE(sigchld, lines.end()) << r.out;
    size_t sigchld_at = (size_t)(sigchld - lines.begin());
    lines.erase(sigchld);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "SIGCHLD"), 0);

    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, std::regex("work dir: '(.*)'")));
    std::string dir = m[1];
    std::regex wait_line("wait pid ([0-9]+)");
    ASSERT_EQ(lines.size(), 13u) << r.out;
    EXPECT_EQ(lines[1], "makedir: " + dir);
    EXPECT_EQ(lines[2], "unpack '" + dir + "/probe', 0%");
    EXPECT_EQ(lines[3], "chmod: " + dir + "/probe 700");
    EXPECT_TRUE(std::regex_match(lines[4], std::regex("unpack '" + dir + "/libprobe.so', [0-9]+%")));
    EXPECT_EQ(lines[5], "exec: '" + dir + "/probe' 'exit' '3'");
    EXPECT_EQ(lines[6], "");
    ASSERT_TRUE(std::regex_match(lines[7], m, wait_line)) << lines[7];
    std::string pid = m[1];
    EXPECT_EQ(lines[8], "wait pid " + pid + " -> " + pid + ", status 3");
    EXPECT_EQ(lines[9], dir + "/probe returns 3");
    EXPECT_EQ(lines[10], "unlink: " + dir + "/probe");
    EXPECT_EQ(lines[11], "unlink: " + dir + "/libprobe.so");
    EXPECT_EQ(lines[12], "rmdir: " + dir);
    EXPECT_GT(sigchld_at, 6u) << "SIGCHLD comes after the exec line";
    EXPECT_LE(sigchld_at, 8u) << "and before the end of the wait is traced";
}

TEST_P(Run, ProgramThatIsNotAProgramGives125AndIsCleanedUp)
{
    write_text(scratch / "notprog", "this is plain text, not a program\n");
    std::string l = pack(target(), scratch / "text", {scratch / "notprog"});
    RunResult r = run_launcher(l, {"a"}, temp.path);
    EXPECT_EQ(r.exit_code, 125);
    EXPECT_TRUE(std::regex_match(
        r.err, std::regex(temp.path + "/notprog-[0-9]+/notprog: Exec format error\n")))
        << r.err;
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});

    RunResult traced = run_launcher(l, {"@debug"}, temp.path);
    EXPECT_EQ(traced.exit_code, 125);
    EXPECT_TRUE(std::regex_search(traced.out, std::regex("/notprog returns 125\n")))
        << traced.out;

    // A path of over 1024 bytes still gets the whole line.
    std::string deep = temp.path;
    for (int i = 0; i < 6; i++) {
        deep += "/" + std::string(200, (char)('a' + i));
        ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    }
    RunResult long_path = run_launcher(l, {}, deep);
    EXPECT_EQ(long_path.exit_code, 125);
    EXPECT_TRUE(std::regex_match(long_path.err,
                                 std::regex(deep + "/notprog-[0-9]+/notprog: Exec format error\n")))
        << long_path.err;
}

// What the exit handler does when the work directory is not as it left it.
TEST_P(Run, FileLeftByTheProgramKeepsTheDirectory)
{
    RunResult r = launch({"litter"});
    EXPECT_EQ(r.exit_code, 0);
    expect_directory_kept(r, "", {"litter"});
}

TEST_P(Run, FailedExtractionRemovesEarlierFilesOnly)
{
    write_text(scratch / "bad", "");
    std::string l = pack(target(), scratch / "failing",
                         {"--force", fixture_path(target(), "probe"),
                          fixture_path(target(), "libprobe.so"), "--stored", scratch / "bad"});
    RunResult r = run_launcher(l, {"report"}, temp.path);
    EXPECT_EQ(r.exit_code, 124);
    EXPECT_EQ(r.out, "");
    expect_directory_kept(r, "bad: too short\n", {"bad"});
}

TEST_P(Run, ThirtyThirdEntryStopsTheRunWith127)
{
    std::vector<std::string> args = {"--force", fixture_path(target(), "probe")};
    for (int i = 1; i < 33; i++) {
        std::string name = scratch / ("f" + std::to_string(i));
        write_text(name, std::to_string(i));
        args.push_back(name);
    }
    std::string l = pack(target(), scratch / "many", args);
    RunResult r = run_launcher(l, {"report"}, temp.path);
    EXPECT_EQ(r.exit_code, 127);
    EXPECT_EQ(r.out, "");
    expect_directory_kept(r, "too many files\n", {"f32"});
}

TEST_P(Run, DuplicateNamesReplaceOnDiskAndTheSecondRemovalFails)
{
    write_text(scratch / "one", "first");
    write_text(scratch / "two", "second");
    std::string l = pack(target(), scratch / "dups",
                         {"--force", fixture_path(target(), "probe"),
                          fixture_path(target(), "libprobe.so"), "--name", "dup",
                          scratch / "one", "--name", "dup", scratch / "two"});
    RunResult r = run_launcher(l, {"exit", "7"}, temp.path);
    EXPECT_EQ(r.exit_code, 7);
    EXPECT_TRUE(std::regex_match(
        r.err, std::regex(temp.path + "/probe-[0-9]+/dup: No such file or directory\n")))
        << r.err;
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
}

// Anyone can make the predictable name {tmp}/probe-{pid} first. The launcher
// then works in a fresh directory of its own and leaves the plant alone.
TEST_P(Run, NameTakenByAnotherUserIsLeftAloneForAFreshDirectory)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "planting as another user needs root";
    // A sticky, world-writable temp directory, as /tmp is.
    ScratchDir shared;
    std::string tmp = shared / "tmp", aside = shared / "aside";
    ASSERT_EQ(chmod(shared.path.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    ASSERT_EQ(chmod(tmp.c_str(), 01777), 0);
    ASSERT_EQ(mkdir(aside.c_str(), 0755), 0);
    RunOptions options;
    options.set_env = {"TEMP=" + tmp};
    // The shell plants the name for its own pid, which the launcher keeps.
    std::string as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    std::string name = " \"$TEMP/probe-$$\"";
    for (std::string plant : {"mkdir" + name, "ln -s " + aside + name}) {
        RunResult r = run_process(
            {"sh", "-c", as_nobody + plant + " && exec \"$0\" @debug report", launcher}, options);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        std::vector<std::string> planted = list_dir(tmp);
        ASSERT_EQ(planted.size(), 1u) << plant;
        std::string taken = tmp + "/" + planted[0];
        std::string made = field(r, "exe").substr(0, taken.size() + 7);
        EXPECT_TRUE(std::regex_match(made, std::regex(taken + "\\.[A-Za-z0-9]{6}"))) << made;
        EXPECT_NE(r.out.find("work dir: '" + taken + "'\nmakedir: " + taken + "\nmakedir: " +
                             made + "\nunpack '" + made + "/probe', 0%\n"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("rmdir: " + made + "\n"), std::string::npos) << r.out;

        struct stat st;
        ASSERT_EQ(lstat(taken.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(list_dir(taken), std::vector<std::string>{}) << "nothing written into the plant";
        EXPECT_EQ(list_dir(aside), std::vector<std::string>{});
        remove_tree(taken);
    }
}

INSTANTIATE_FOR_TARGETS(Run);

}  // namespace
