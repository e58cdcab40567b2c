// Many runs of one launcher sharing one TEMP, all at once and one after the
// other: each run unpacks its own copy, its program gets its own arguments,
// the launcher returns that program's own status, and TEMP is left empty.
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "sfx.h"

namespace {

class Concurrency : public TargetTest {
protected:
    ScratchDir scratch;
    std::string temp;
    std::string launcher;

    void SetUp() override
    {
        temp = scratch / "temp";
        ASSERT_EQ(mkdir(temp.c_str(), 0700), 0);
        launcher = pack_probe(target(), scratch);
    }

    // What a run's probe reported, checked against what that run was given:
    // its own tag and status, from a copy in its own work directory.
    void expect_own_run(const RunResult &r, const std::string &tag, int status, int pid)
    {
        EXPECT_EQ(r.exit_code, status) << tag << ": " << r.err;
        EXPECT_EQ(r.err, "") << tag;
        std::string expected_argv = "argv[1]=hold\nargv[2]=" + std::to_string(status) +
                                    "\nargv[3]=" + (scratch / "gate") + "\nargv[4]=" + tag + "\n";
        EXPECT_NE(r.out.find(expected_argv), std::string::npos) << tag << ": " << r.out;
        EXPECT_NE(r.out.find("library=42\n"), std::string::npos) << tag << ": " << r.out;
        std::string exe = "exe=" + temp + "/probe-" +
                          (pid > 0 ? std::to_string(pid) + "/probe\n" : "");
        EXPECT_NE(r.out.find(exe), std::string::npos) << tag << ": " << r.out;
    }
};

TEST_P(Concurrency, FiftyAtOnceEachRunTheirOwnCopy)
{
    const int runs = 50;
    std::string gate = scratch / "gate";
    write_text(gate, "");
    RunOptions options;
    options.set_env = {"TEMP=" + temp};
    std::vector<Started> started;
    started.reserve(runs);
    for (int i = 0; i < runs; i++)
        started.push_back(start_process(
            {launcher, "hold", std::to_string(i + 1), gate, "run-" + std::to_string(i)},
            options, scratch.path));

    // Once every program has reported, all of them are unpacked and running
    // at the same time, each in its own directory.
    time_t deadline = time(nullptr) + 120;
    for (int i = 0; i < runs && time(nullptr) < deadline;) {
        if (read_text(started[(size_t)i].out_path).find("library=") != std::string::npos)
            i++;
        else
            usleep(20000);
    }
    EXPECT_EQ(list_dir(temp).size(), (size_t)runs);
    unlink(gate.c_str());

    for (int i = 0; i < runs; i++) {
        RunResult r = wait_process(started[(size_t)i]);
        expect_own_run(r, "run-" + std::to_string(i), i + 1, started[(size_t)i].pid);
    }
    EXPECT_EQ(list_dir(temp), std::vector<std::string>{});
}

// The launcher's one child, the program, once it has started.
int program_of(int launcher_pid)
{
    std::string id = std::to_string(launcher_pid);
    std::string children = read_text("/proc/" + id + "/task/" + id + "/children");
    return children.empty() ? 0 : std::stoi(children);
}

// Every fifth run is killed with its program as soon as it runs, while the
// others start: those that start later reclaim the dead directories beside
// the live ones, and every live run still finds all of its own files.
TEST_P(Concurrency, FiftyWithKillsInBetweenLoseNoLiveDirectory)
{
    const int runs = 50;
    std::string gate = scratch / "gate";
    write_text(gate, "");
    RunOptions options;
    options.set_env = {"TEMP=" + temp};
    std::vector<Started> started;
    std::vector<bool> killed(runs, false);
    std::vector<int> killed_programs;
    time_t deadline = time(nullptr) + 120;
    for (int i = 0; i < runs; i++) {
        started.push_back(start_process(
            {launcher, "hold", std::to_string(i + 1), gate, "run-" + std::to_string(i)},
            options, scratch.path));
        if (i % 5 != 2)
            continue;
        const Started &victim = started.back();
        while (read_text(victim.out_path).find("library=") == std::string::npos &&
               time(nullptr) < deadline)
            usleep(5000);
        int program = program_of(victim.pid);
        ASSERT_GT(program, 0) << "run-" << i << " has no program";
        kill(victim.pid, SIGKILL);
        kill(program, SIGKILL);
        killed[(size_t)i] = true;
        killed_programs.push_back(program);
    }
    for (int i = 0; i < runs && time(nullptr) < deadline;) {
        if (killed[(size_t)i] ||
            read_text(started[(size_t)i].out_path).find("library=") != std::string::npos)
            i++;
        else
            usleep(20000);
    }
    unlink(gate.c_str());

    for (int i = 0; i < runs; i++) {
        RunResult r = wait_process(started[(size_t)i]);
        if (killed[(size_t)i])
            EXPECT_EQ(r.term_signal, SIGKILL);
        else
            expect_own_run(r, "run-" + std::to_string(i), i + 1, started[(size_t)i].pid);
    }
    // The last ones killed had no later run to reclaim them. A zombie has
    // released its lock.
    for (int program : killed_programs) {
        std::string stat = "/proc/" + std::to_string(program) + "/stat";
        while (!read_text(stat).empty() && read_text(stat).find(") Z ") == std::string::npos &&
               time(nullptr) < deadline)
            usleep(5000);
    }
    RunResult r = run_launcher(launcher, {"exit", "0"}, temp);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(list_dir(temp), std::vector<std::string>{});
}

// 1,000 unless SFX_LAUNCHES_IN_A_ROW says otherwise (for slow, instrumented
// builds).
int launches_in_a_row()
{
    const char *count = getenv("SFX_LAUNCHES_IN_A_ROW");
    return count != nullptr && atoi(count) > 0 ? atoi(count) : 1000;
}

TEST_P(Concurrency, AThousandInARowEachReturnTheirOwnStatus)
{
    int runs = launches_in_a_row();
    for (int i = 0; i < runs; i++) {
        std::string tag = "run-" + std::to_string(i);
        int status = i % 100 + 1;
        RunResult r = run_launcher(launcher, {"hold", std::to_string(status), scratch / "gate", tag},
                                   temp);
        expect_own_run(r, tag, status, 0);
        ASSERT_EQ(list_dir(temp), std::vector<std::string>{}) << "after " << tag;
        if (HasFailure())
            break;
    }
}

INSTANTIATE_FOR_TARGETS(Concurrency);

}  // namespace
