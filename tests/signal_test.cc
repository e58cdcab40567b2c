// Real signals sent to a launcher while its program runs.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sfx.h"

namespace {

bool wait_for_file(const std::string &path)
{
    for (int i = 0; i < 600; i++) {
        if (!read_text(path).empty())
            return true;
        usleep(50000);
    }
    return false;
}

bool still_running(int pid)
{
    // Reaps it if it ended, so a zombie does not pass for a live process.
    int status;
    return waitpid(pid, &status, WNOHANG) == 0;
}

bool process_exists(int pid) { return kill(pid, 0) == 0; }

class Signals : public TargetTest {
protected:
    ScratchDir scratch;
    ScratchDir temp;
    std::string launcher;
    std::string flag;
    Started started;
    int program_pid = 0;

    void SetUp() override
    {
        launcher = pack_probe(target(), scratch);
        flag = scratch / "running";
        RunOptions options;
        options.set_env = {"TEMP=" + temp.path};
        started = start_process({launcher, "wait", flag}, options, scratch.path);
        ASSERT_TRUE(wait_for_file(flag)) << "the program never started";
        program_pid = std::stoi(read_text(flag));
    }
    void TearDown() override
    {
        unlink(flag.c_str());
        if (program_pid > 0)
            for (int i = 0; i < 200 && process_exists(program_pid); i++)
                usleep(50000);
    }
};

TEST_P(Signals, InterruptAndHangUpEndNeitherLauncherNorProgram)
{
    for (int sig : {SIGINT, SIGHUP, SIGWINCH, SIGPIPE})
        ASSERT_EQ(kill(started.pid, sig), 0);
    for (int sig : {SIGINT, SIGHUP, SIGWINCH})
        ASSERT_EQ(kill(program_pid, sig), 0);
    usleep(300000);
    EXPECT_TRUE(still_running(started.pid));
    EXPECT_TRUE(process_exists(program_pid));

    unlink(flag.c_str());
    RunResult r = wait_process(started);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "waited\n");
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
}

TEST_P(Signals, TerminateEndsTheLauncherAloneAndLeavesItsFiles)
{
    ASSERT_EQ(kill(started.pid, SIGTERM), 0);
    RunResult r = wait_process(started);
    EXPECT_EQ(r.term_signal, SIGTERM);
    EXPECT_TRUE(process_exists(program_pid)) << "the program keeps running";
    std::vector<std::string> dirs = list_dir(temp.path);
    ASSERT_EQ(dirs.size(), 1u);
    EXPECT_EQ(list_dir(temp / dirs[0]),
              (std::vector<std::string>{".sfxlaunch-work-dir", "libprobe.so", "probe"}));
}

INSTANTIATE_FOR_TARGETS(Signals);

class Inherited : public TargetTest {};

TEST_P(Inherited, ProgramStartsWithTheIgnoredDispositionsAndDefaultChildHandler)
{
    ScratchDir scratch, temp;
    std::string launcher = pack_probe(target(), scratch);
    RunResult r = run_launcher(launcher, {"dispositions"}, temp.path);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out,
              "SIGINT=ignored SIGHUP=ignored SIGPIPE=default SIGWINCH=ignored "
              "SIGCHLD=default SIGTERM=default\n");

    // SIGPIPE as the launcher found it: ignored by whoever started it.
    RunResult ignoring = run_process(
        {"sh", "-c", "trap '' PIPE && TEMP=" + temp.path + " exec " + launcher + " dispositions"});
    EXPECT_EQ(ignoring.out,
              "SIGINT=ignored SIGHUP=ignored SIGPIPE=ignored SIGWINCH=ignored "
              "SIGCHLD=default SIGTERM=default\n");
}

// A program piped into a reader that leaves ends as it would without the
// launcher: by SIGPIPE, which the launcher passes on as 128 + 13.
TEST_P(Inherited, ProgramWritingIntoAPipeWhoseReaderLeftEndsBySigpipe)
{
    ScratchDir scratch, temp;
    std::string launcher = pack_probe(target(), scratch);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 2);
        setenv("TEMP", temp.path.c_str(), 1);
        execl(launcher.c_str(), launcher.c_str(), "flood", (char *)nullptr);
        _exit(250);
    }
    close(fds[1]);
    char first[5];
    EXPECT_EQ(read(fds[0], first, sizeof first), (ssize_t)sizeof first);
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGPIPE) << "3: the program's writes failed instead";
    EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
}

TEST_P(Inherited, ListingIntoAPipeWithoutReaderEndsWithZero)
{
    ScratchDir scratch;
    std::string launcher = pack_probe(target(), scratch);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        dup2(fds[1], 1);
        execl(launcher.c_str(), launcher.c_str(), "@list", (char *)nullptr);
        _exit(250);
    }
    close(fds[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A child the launcher inherited ends while a listing is under way (the
// launcher is held in a write to a full pipe): under "@debug" its SIGCHLD
// line still comes out, last.
TEST_P(Inherited, ChildItWasStartedWithIsTracedInEveryMode)
{
    ScratchDir scratch;
    std::vector<std::string> args = {fixture_path(target(), "probe")};
    write_text(scratch / "data", "x");
    for (int i = 0; i < 20; i++) {
        args.insert(args.end(), {"--name", std::to_string(i) + std::string(240, 'n'), scratch / "data"});
    }
    std::string launcher = pack(target(), scratch / "launcher", args);

    int out[2], gate[2];
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(pipe(gate), 0);
    fcntl(out[1], F_SETPIPE_SZ, 4096);
    fcntl(out[1], F_SETFL, O_NONBLOCK);
    std::string fill(4096, '-');
    while (write(out[1], fill.data(), fill.size()) > 0) {
    }
    fcntl(out[1], F_SETFL, 0);
    std::string child_pid_file = scratch / "child";
    pid_t pid = fork();
    if (pid == 0) {
        pid_t child = fork();
        if (child == 0) {
            char c;
            close(gate[1]);
            _exit((int)read(gate[0], &c, 1));
        }
        std::string text = std::to_string(child);
        int fd = open(child_pid_file.c_str(), O_WRONLY | O_CREAT, 0600);
        if (write(fd, text.data(), text.size()) != (ssize_t)text.size())
            _exit(251);
        close(fd);
        close(gate[1]);
        dup2(out[1], 1);
        execl(launcher.c_str(), launcher.c_str(), "@debug", "@list", (char *)nullptr);
        _exit(250);
    }
    close(out[1]);
    close(gate[0]);
    // Held in write(2) to descriptor 1 (call 1 on x86_64, 4 on i386, native
    // or emulated), past its start-up.
    std::string syscall_file = "/proc/" + std::to_string(pid) + "/syscall";
    auto writing = [&] {
        std::string call = read_text(syscall_file);
        return call.rfind("1 0x1 ", 0) == 0 || call.rfind("4 0x1 ", 0) == 0;
    };
    for (int i = 0; i < 1200 && !writing(); i++)
        usleep(50000);
    close(gate[1]);
    std::string child_stat = "/proc/" + read_text(child_pid_file) + "/stat";
    for (int i = 0; i < 1200 && read_text(child_stat).find(") Z") == std::string::npos; i++)
        usleep(50000);

    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, (size_t)n);
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::vector<std::string> lines = split_lines(text.substr(4096));
    ASSERT_EQ(lines.size(), 23u) << text;
    EXPECT_EQ(lines.back(), "SIGCHLD");
}

INSTANTIATE_FOR_TARGETS(Inherited);

}  // namespace
