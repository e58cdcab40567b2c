// The work directory, the unpacking pass and its trace and progress output,
// byte for byte.
#include <regex>

#include "sfx.h"

namespace {

class Unpack : public TargetTest {
protected:
    ScratchDir scratch;
    ScratchDir cwd;
    std::string launcher;
    unsigned long probe_size = 0, lib_size = 0;

    void SetUp() override
    {
        launcher = pack_probe(target(), scratch);
        std::vector<std::string> listing =
            split_lines(run_process({launcher, "@list"}).out);
        ASSERT_EQ(listing.size(), 2u);
        probe_size = std::stoul(listing[0]);
        lib_size = std::stoul(listing[1]);
    }
    RunResult in_cwd(const std::vector<std::string> &args, RunOptions options = RunOptions())
    {
        options.cwd = cwd.path;
        return run_launcher(launcher, args, scratch.path, options);
    }
    unsigned lib_percent() const
    {
        return (unsigned)(probe_size * 100 / (probe_size + lib_size));
    }
};

TEST_P(Unpack, DebugTracesEveryStepAndNothingAtExit)
{
    RunResult r = in_cwd({"@unpack", "@debug"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "work dir: 'probe'\n"
                     "makedir: probe\n"
                     "unpack 'probe/probe', 0%\n"
                     "chmod: probe/probe 700\n"
                     "unpack 'probe/libprobe.so', " +
                         std::to_string(lib_percent()) + "%\n");
    EXPECT_EQ(r.err, "");
}

TEST_P(Unpack, VerboseProgressLineErasesItselfCompletely)
{
    RunResult r = in_cwd({"@verbose", "@unpack"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string first = "0%, unpack 'probe' ...";
    std::string second = std::to_string(lib_percent()) + "%, unpack 'libprobe.so' ...";
    auto erase = [](const std::string &line) {
        return "\r" + std::string(line.size(), ' ') + "\r";
    };
    EXPECT_EQ(r.out, first + erase(first) + second + erase(second));
}

// Given both, in either order, the launcher traces each entry as @debug
// alone does and draws no progress line over the trace.
TEST_P(Unpack, DebugWinsOverVerbose)
{
    RunResult debug = in_cwd({"@unpack", "@debug"});
    ASSERT_EQ(debug.exit_code, 0) << debug.err;
    EXPECT_NE(debug.out.find("unpack 'probe/probe', 0%\n"), std::string::npos) << debug.out;
    EXPECT_NE(debug.out.find("unpack 'probe/libprobe.so', " + std::to_string(lib_percent()) +
                             "%\n"),
              std::string::npos)
        << debug.out;
    const std::vector<std::vector<std::string>> orders = {{"@verbose", "@unpack", "@debug"},
                                                          {"@debug", "@verbose", "@unpack"}};
    for (const std::vector<std::string> &args : orders) {
        remove_tree(cwd / "probe");
        RunResult both = in_cwd(args);
        EXPECT_EQ(both.exit_code, 0) << both.err;
        EXPECT_EQ(both.out, debug.out) << args[0];
        EXPECT_EQ(both.out.find('\r'), std::string::npos) << args[0];
        EXPECT_EQ(both.out.find(" ..."), std::string::npos) << args[0];
    }
}

TEST_P(Unpack, SecondUnpackFailsAndKeepsTheFirstCopy)
{
    ASSERT_EQ(in_cwd({"@unpack"}).exit_code, 0);
    write_text(cwd / "probe/libprobe.so", "edited by the user");
    RunResult again = in_cwd({"@unpack"});
    EXPECT_EQ(again.exit_code, 126);
    EXPECT_EQ(again.err, "probe: File exists\n");
    EXPECT_EQ(read_text(cwd / "probe/libprobe.so"), "edited by the user");
    EXPECT_EQ(list_dir(cwd / "probe"), (std::vector<std::string>{"libprobe.so", "probe"}));
}

// Started with standard descriptors closed, the launcher must not hand their
// numbers to the files it writes: its message, or its trace flushed at exit,
// would land inside one.
TEST_P(Unpack, ClosedStandardDescriptorsNeverCarryTextIntoUnpackedFiles)
{
    write_text(scratch / "bad", "");
    std::string failing = pack(target(), scratch / "failing",
                               {fixture_path(target(), "probe"), "--force", "--stored", scratch / "bad"});
    RunOptions options;
    options.cwd = cwd.path;
    for (std::string closing : {"0<&-", "1>&-", "2>&-", "0<&- 1>&-", "0<&- 2>&-", "1>&- 2>&-",
                                "0<&- 1>&- 2>&-"}) {
        remove_tree(cwd / "probe");
        RunResult r = run_process(
            {"sh", "-c", "exec \"$0\" @unpack @debug " + closing, failing}, options);
        EXPECT_EQ(r.exit_code, 124) << closing;
        EXPECT_EQ(read_text(cwd / "probe/bad"), "") << closing;
        EXPECT_EQ(read_text(cwd / "probe/probe"), read_text(fixture_path(target(), "probe")))
            << closing;
        if (closing.find('2') == std::string::npos) {
            EXPECT_EQ(r.err, "bad: too short\n") << closing;
        }
        if (closing.find('1') == std::string::npos) {
            EXPECT_EQ(split_lines(r.out).size(), 5u) << closing << "\n" << r.out;
        }
    }
}

TEST_P(Unpack, ListWritesNothing)
{
    RunResult r = in_cwd({"@list", "@verbose"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(list_dir(cwd.path), std::vector<std::string>{});
}

// The work directory of run mode, as the trace shows it.
class WorkDir : public Unpack {
protected:
    std::string traced_work_dir(RunOptions options)
    {
        options.cwd = cwd.path;
        std::vector<std::string> argv = {launcher, "@debug", "exit", "0"};
        RunResult r = run_process(argv, options);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        std::smatch m;
        std::string first = split_lines(r.out).empty() ? "" : split_lines(r.out)[0];
        if (!std::regex_match(first, m, std::regex("work dir: '(.*)-([0-9]+)'")))
            return "unexpected: " + first;
        return m[1];
    }
};

TEST_P(WorkDir, TempThenTmpThenSlashTmp)
{
    ScratchDir temp, tmp;
    RunOptions both;
    both.set_env = {"TEMP=" + temp.path, "TMP=" + tmp.path};
    EXPECT_EQ(traced_work_dir(both), temp.path + "/probe");

    RunOptions only_tmp;
    only_tmp.unset_env = {"TEMP"};
    only_tmp.set_env = {"TMP=" + tmp.path};
    EXPECT_EQ(traced_work_dir(only_tmp), tmp.path + "/probe");

    RunOptions neither;
    neither.unset_env = {"TEMP", "TMP"};
    EXPECT_EQ(traced_work_dir(neither), "/tmp/probe");

    RunOptions slash;
    slash.set_env = {"TEMP=" + temp.path + "/"};
    EXPECT_EQ(traced_work_dir(slash), temp.path + "//probe");

    RunOptions relative;
    relative.set_env = {"TEMP=."};
    EXPECT_EQ(traced_work_dir(relative), "./probe");

    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
    EXPECT_EQ(list_dir(tmp.path), std::vector<std::string>{});
    EXPECT_EQ(list_dir(cwd.path), std::vector<std::string>{});
}

TEST_P(WorkDir, ThatCannotBeMadeEndsWith126AndNothingElse)
{
    ScratchDir temp;
    RunOptions options;
    options.set_env = {"TEMP=" + temp.path + "/missing"};
    RunResult r = run_process({launcher, "report"}, options);
    EXPECT_EQ(r.exit_code, 126);
    std::regex expected(temp.path + "/missing/probe-[0-9]+: No such file or directory\n");
    EXPECT_TRUE(std::regex_match(r.err, expected)) << r.err;
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_FOR_TARGETS(Unpack);
INSTANTIATE_FOR_TARGETS(WorkDir);

}  // namespace
