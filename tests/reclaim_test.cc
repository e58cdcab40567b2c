// Work directories left behind by launchers that a signal ended before
// their clean-up: a later run of the same program reclaims them, and never
// anything that is alive, foreign or reached through a link.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "sfx.h"

namespace {

bool has_ended(int pid)
{
    // A zombie has closed its descriptors, and so released its locks.
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    return stat.empty() || stat.find(") Z ") != std::string::npos;
}

void wait_until_ended(int pid)
{
    for (int i = 0; i < 1200 && !has_ended(pid); i++)
        usleep(50000);
    ASSERT_TRUE(has_ended(pid)) << "process " << pid << " still runs";
}

void make_dir(const std::string &path)
{
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
}

// The file a launcher marks its work directory with once it holds its lock.
const char marker[] = ".sfxlaunch-work-dir";

// A work directory as a launcher killed after its pass leaves it, or,
// unmarked, one that only looks like one.
void plant_dead_dir(const std::string &path, bool marked = true)
{
    make_dir(path);
    write_text(path + "/probe", "program");
    write_text(path + "/libprobe.so", "library");
    if (marked)
        write_text(path + "/" + marker, "");
}

class Reclaim : public TargetTest {
protected:
    ScratchDir scratch;
    ScratchDir temp;
    std::string launcher;
    std::string flag;
    Started started;
    int program_pid = 0;

    void SetUp() override { launcher = pack_probe(target(), scratch); }

    void TearDown() override
    {
        unlink(flag.c_str());
        if (program_pid > 0 && !has_ended(program_pid))
            kill(program_pid, SIGKILL);
        if (started.pid > 0)
            kill(started.pid, SIGKILL);
    }

    // A run whose program waits until the flag file goes away.
    void start_waiting_run()
    {
        flag = scratch / "running";
        RunOptions options;
        options.set_env = {"TEMP=" + temp.path};
        started = start_process({launcher, "wait", flag}, options, scratch.path);
        for (int i = 0; i < 1200 && read_text(flag).empty(); i++)
            usleep(50000);
        ASSERT_FALSE(read_text(flag).empty()) << "the program never started";
        program_pid = std::stoi(read_text(flag));
    }

    std::string run_dir() const { return temp / ("probe-" + std::to_string(started.pid)); }

    RunResult next_run(const std::vector<std::string> &args = {"exit", "0"})
    {
        return run_launcher(launcher, args, temp.path);
    }
};

TEST_P(Reclaim, KilledLauncherAndProgramLeaveNoTraceAfterTheNextRun)
{
    start_waiting_run();
    ASSERT_EQ(kill(started.pid, SIGKILL), 0);
    ASSERT_EQ(kill(program_pid, SIGKILL), 0);
    EXPECT_EQ(wait_process(started).term_signal, SIGKILL);
    wait_until_ended(program_pid);
    ASSERT_EQ(list_dir(run_dir()), (std::vector<std::string>{marker, "libprobe.so", "probe"}));

    RunResult r = next_run({"@debug", "exit", "5"});
    EXPECT_EQ(r.exit_code, 5) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("\nreclaim: " + run_dir() + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
}

TEST_P(Reclaim, ReclaimingIsSilentWithoutDebug)
{
    plant_dead_dir(temp / "probe-4000001");
    plant_dead_dir(temp / "probe-4000002.aZ09xY");
    RunResult r = next_run({"report"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.find("reclaim: "), std::string::npos) << r.out;
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
}

TEST_P(Reclaim, TerminatedLauncherKeepsItsDirectoryUntilTheProgramEnds)
{
    start_waiting_run();
    std::string dir = run_dir();
    ASSERT_EQ(kill(started.pid, SIGTERM), 0);
    EXPECT_EQ(wait_process(started).term_signal, SIGTERM);
    started.pid = -1;
    ASSERT_FALSE(has_ended(program_pid));

    // The program holds the lock it inherited.
    EXPECT_EQ(next_run().exit_code, 0);
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{marker, "libprobe.so", "probe"}));

    unlink(flag.c_str());
    wait_until_ended(program_pid);
    EXPECT_EQ(next_run().exit_code, 0);
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
}

TEST_P(Reclaim, StoppedRunIsNeverTouched)
{
    start_waiting_run();
    ASSERT_EQ(kill(started.pid, SIGSTOP), 0);
    ASSERT_EQ(kill(program_pid, SIGSTOP), 0);
    EXPECT_EQ(next_run().exit_code, 0);
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{"probe-" + std::to_string(started.pid)});
    EXPECT_EQ(list_dir(run_dir()), (std::vector<std::string>{marker, "libprobe.so", "probe"}));

    kill(program_pid, SIGCONT);
    kill(started.pid, SIGCONT);
    unlink(flag.c_str());
    RunResult r = wait_process(started);
    started.pid = -1;
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "waited\n");
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
}

// Only the entries' own regular files go, and a directory that keeps
// anything else stays; links are neither followed nor removed.
TEST_P(Reclaim, OnlyTheEntriesOwnFilesGoAndNoLinkIsFollowed)
{
    ScratchDir elsewhere;
    plant_dead_dir(elsewhere / "target");
    write_text(elsewhere / "outside", "outside");

    plant_dead_dir(temp / "probe-4000001");
    write_text(temp / "probe-4000001/notes", "the user's");
    make_dir(temp / "probe-4000002");
    make_dir(temp / "probe-4000002/probe");
    write_text(temp / "probe-4000002/probe/inner", "inner");
    write_text(temp / "probe-4000002/" + marker, "");
    ASSERT_EQ(symlink((elsewhere / "outside").c_str(), (temp / "probe-4000002/libprobe.so").c_str()), 0);
    ASSERT_EQ(symlink((elsewhere / "target").c_str(), (temp / "probe-4000003").c_str()), 0);
    write_text(temp / "probe-4000004", "a file");
    // Names of other programs, or not of the form a launcher makes.
    for (const char *name : {"probes-4000005", "probe-", "probe-x1", "probe-4000006.abc",
                             "probe-4000007.abcdefg", "probe-4000008-1"})
        plant_dead_dir(temp / name, false);
    plant_dead_dir(temp / "probe-4000009.Qw3rty");
    // Unmarked: it may be a run's that is about to lock it.
    make_dir(temp / "probe-4000010");

    RunResult r = next_run({"@debug", "exit", "0"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> reclaimed;
    for (const std::string &line : split_lines(r.out))
        if (line.rfind("reclaim: ", 0) == 0)
            reclaimed.push_back(line.substr(9));
    EXPECT_EQ(reclaimed, std::vector<std::string>{temp / "probe-4000009.Qw3rty"});

    EXPECT_EQ(list_dir(temp / "probe-4000001"), std::vector<std::string>{"notes"});
    EXPECT_EQ(list_dir(temp / "probe-4000002"), (std::vector<std::string>{"libprobe.so", "probe"}));
    EXPECT_EQ(read_text(temp / "probe-4000002/probe/inner"), "inner");
    EXPECT_EQ(read_text(elsewhere / "outside"), "outside");
    EXPECT_EQ(list_dir(elsewhere / "target"),
              (std::vector<std::string>{marker, "libprobe.so", "probe"}));
    EXPECT_EQ(read_text(temp / "probe-4000003/probe"), "program");
    EXPECT_EQ(read_text(temp / "probe-4000004"), "a file");
    EXPECT_TRUE(file_exists(temp / "probe-4000010"));
    for (const char *name : {"probes-4000005", "probe-", "probe-x1", "probe-4000006.abc",
                             "probe-4000007.abcdefg", "probe-4000008-1"})
        EXPECT_EQ(list_dir(temp / name), (std::vector<std::string>{"libprobe.so", "probe"})) << name;
}

TEST_P(Reclaim, UnpackAndListReclaimNothing)
{
    plant_dead_dir(temp / "probe-4000001");
    RunResult r = run_launcher(launcher, {"@list"}, temp.path);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    RunOptions in_temp;
    in_temp.cwd = temp.path;
    r = run_launcher(launcher, {"@unpack"}, temp.path, in_temp);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(list_dir(temp.path), (std::vector<std::string>{"probe", "probe-4000001"}));
    EXPECT_EQ(list_dir(temp / "probe-4000001"),
              (std::vector<std::string>{marker, "libprobe.so", "probe"}));
}

// Root can open and lock anything: only the owner check keeps it from
// another user's directory and files.
TEST_P(Reclaim, AnotherUsersDirectoryAndFilesAreNeverTouched)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "planting another user's files needs root";
    const uid_t nobody = 65534;
    plant_dead_dir(temp / "probe-4000001");
    ASSERT_EQ(chown((temp / "probe-4000001").c_str(), nobody, nobody), 0);
    plant_dead_dir(temp / "probe-4000002");
    ASSERT_EQ(chown((temp / "probe-4000002/libprobe.so").c_str(), nobody, nobody), 0);

    EXPECT_EQ(next_run().exit_code, 0);
    EXPECT_EQ(list_dir(temp / "probe-4000001"),
              (std::vector<std::string>{marker, "libprobe.so", "probe"}));
    EXPECT_EQ(list_dir(temp / "probe-4000002"), std::vector<std::string>{"libprobe.so"});
}

// Directories of the user's own whose names happen to be of the form
// NAME-PID or NAME-PID.XXXXXX hold no marker, and keep all they hold; the
// directory of a launcher killed outright still goes.
TEST_P(Reclaim, OnlyMarkedDirectoriesAreReclaimedNeverTheUsersLookAlikes)
{
    for (const char *name : {"probe-2", "probe-2024", "probe-7.backup"}) {
        make_dir(temp / name);
        write_text(temp / name + "/probe", "precious");
    }
    write_text(temp / "probe-7.backup/libprobe.so", "precious too");
    start_waiting_run();
    ASSERT_EQ(kill(started.pid, SIGKILL), 0);
    ASSERT_EQ(kill(program_pid, SIGKILL), 0);
    EXPECT_EQ(wait_process(started).term_signal, SIGKILL);
    wait_until_ended(program_pid);

    RunResult r = next_run({"@debug", "exit", "0"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> reclaimed;
    for (const std::string &line : split_lines(r.out))
        if (line.rfind("reclaim: ", 0) == 0)
            reclaimed.push_back(line.substr(9));
    EXPECT_EQ(reclaimed, std::vector<std::string>{run_dir()});
    EXPECT_EQ(list_dir(temp.path),
              (std::vector<std::string>{"probe-2", "probe-2024", "probe-7.backup"}));
    for (const char *name : {"probe-2", "probe-2024", "probe-7.backup"})
        EXPECT_EQ(read_text(temp / name + "/probe"), "precious") << name;
    EXPECT_EQ(read_text(temp / "probe-7.backup/libprobe.so"), "precious too");
}

// How many directories of its program's name a run opened, from its trace
// of openat calls: all but its own are opened to be reclaimed.
size_t work_dir_opens(const std::string &trace_path)
{
    std::regex open_of("openat\\([^,]*, \"probe-[0-9]+(\\.[A-Za-z0-9]{6})?\", [^)]*O_DIRECTORY");
    size_t opens = 0;
    for (const std::string &line : split_lines(read_text(trace_path)))
        if (std::regex_search(line, open_of))
            opens++;
    return opens;
}

// However many directories anyone made there, one run opens at most 16 of
// them; the next run draws its own 16.
TEST_P(Reclaim, OneRunExaminesABoundedShareOfTheTempDirectory)
{
    for (int i = 0; i < 10000; i++)
        make_dir(temp / ("probe-" + std::to_string(4000000 + i)));
    std::string trace = scratch / "trace";
    RunOptions options;
    options.set_env = {"TEMP=" + temp.path};
    RunResult r = run_process(
        under_strace({"-f", "-e", "trace=openat", "-o", trace}, {launcher, "exit", "0"}), options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    size_t opens = work_dir_opens(trace);
    EXPECT_GT(opens, 0u);
    EXPECT_LE(opens, 16u);
    EXPECT_EQ(list_dir(temp.path).size(), 10000u);
}

TEST_P(Reclaim, ALaterRunReclaimsWhatAnEarlierOneLeft)
{
    for (int i = 0; i < 40; i++)
        plant_dead_dir(temp / ("probe-" + std::to_string(4000000 + i)));
    for (size_t left : {24u, 8u, 0u}) {
        EXPECT_EQ(next_run().exit_code, 0);
        EXPECT_EQ(list_dir(temp.path).size(), left);
    }
}

// Where the file system takes no locks (NFS without lockd), the program
// runs all the same, and its directory, having no lock to show whether it
// is in use, holds no marker: no later run ever takes it.
TEST_P(Reclaim, WithoutLocksTheProgramRunsAndItsDirectoryIsNeverReclaimed)
{
    for (const char *error : {"ENOLCK", "EOPNOTSUPP"}) {
        RunResult r = run_process(
            under_strace({"-f", "-e", std::string("inject=flock:error=") + error, "-o", "/dev/null"},
                         {"env", "TEMP=" + temp.path, launcher, "report", "x"}));
        EXPECT_EQ(r.exit_code, 0) << error << ": " << r.err;
        EXPECT_EQ(r.err, "") << error;
        EXPECT_NE(r.out.find("argv[1]=report\nargv[2]=x\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\nlibrary=42\n"), std::string::npos) << r.out;
        EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{}) << error;
    }

    flag = scratch / "running";
    started = start_process(under_strace({"-f", "-e", "inject=flock:error=ENOLCK", "-o", "/dev/null"},
                                         {"env", "TEMP=" + temp.path, launcher, "wait", flag}),
                            RunOptions(), scratch.path);
    for (int i = 0; i < 1200 && read_text(flag).empty(); i++)
        usleep(50000);
    ASSERT_FALSE(read_text(flag).empty()) << "the program never started";
    program_pid = std::stoi(read_text(flag));
    std::vector<std::string> dirs = list_dir(temp.path);
    ASSERT_EQ(dirs.size(), 1u);
    int launcher_pid = std::stoi(dirs[0].substr(dirs[0].find('-') + 1));
    ASSERT_EQ(kill(launcher_pid, SIGKILL), 0);
    ASSERT_EQ(kill(program_pid, SIGKILL), 0);
    wait_process(started);
    started.pid = -1;
    wait_until_ended(program_pid);
    ASSERT_EQ(list_dir(temp / dirs[0]), (std::vector<std::string>{"libprobe.so", "probe"}));

    EXPECT_EQ(next_run().exit_code, 0);
    EXPECT_EQ(list_dir(temp / dirs[0]), (std::vector<std::string>{"libprobe.so", "probe"}));
}

INSTANTIATE_FOR_TARGETS(Reclaim);

// The marker's name is no entry's: a payload's file could otherwise pass
// for it.
TEST(ReclaimMarker, IsRefusedAsAnEntryName)
{
    ScratchDir scratch;
    write_text(scratch / "prog", "program");
    write_text(scratch / marker, "data");
    for (const std::vector<std::string> &inputs :
         {std::vector<std::string>{"--name", marker, scratch / "prog"},
          std::vector<std::string>{scratch / "prog", scratch / marker}}) {
        std::vector<std::string> args = {"-o", scratch / "out"};
        args.insert(args.end(), inputs.begin(), inputs.end());
        RunResult r = run_sfxpack(args);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.err, std::string("sfxpack: entry name '") + marker +
                             "' is reserved: launchers mark their work directories with a "
                             "file of that name\n");
        EXPECT_FALSE(file_exists(scratch / "out"));
    }
}

}  // namespace
