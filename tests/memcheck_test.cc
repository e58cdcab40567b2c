// Real launcher runs under valgrind's memcheck, in every mode and on the
// failure paths: no invalid access, no definite leak, no descriptor of the
// launcher's own still open at its exit, and a program that inherits exactly
// what the launcher inherited, and its work directory's lock.
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "pack/lzma_alone.h"
#include "sfx.h"
#include "sfx_version.h"

namespace {

// Extra descriptor that every run below inherits: valgrind writes its log
// there, so the log is something the launcher was given, not something it
// opened.
const char inherited_fd[] = "9";

// argv run with descriptor 9 open on file, as a caller might leave it.
std::vector<std::string> with_fd9(const std::string &file,
                                  const std::vector<std::string> &argv)
{
    std::vector<std::string> wrapped = {"sh", "-c", "f=$1; shift; exec \"$@\" 9>>\"$f\"",
                                        "sh", file};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return wrapped;
}

std::set<std::string> probe_fds(const RunResult &r)
{
    std::set<std::string> fds;
    for (const std::string &line : split_lines(r.out))
        if (line.rfind("fd ", 0) == 0)
            fds.insert(line.substr(3));
    return fds;
}

// What the probe's descriptor fd is open on.
std::string probe_fd_target(const RunResult &r, const std::string &fd)
{
    for (const std::string &line : split_lines(r.out))
        if (line.rfind("link " + fd + " ", 0) == 0)
            return line.substr(6 + fd.size());
    return "";
}

// What the launcher adds to what it inherited: the one descriptor that
// holds its work directory's lock, open on that directory in temp.
void expect_inherited_and_lock(const RunResult &launched, std::set<std::string> inherited,
                               const std::string &temp)
{
    std::set<std::string> fds = probe_fds(launched);
    std::set<std::string> added;
    for (const std::string &fd : fds)
        if (!inherited.count(fd))
            added.insert(fd);
    for (const std::string &fd : inherited)
        EXPECT_TRUE(fds.count(fd)) << "fd " << fd << " lost: " << launched.out;
    ASSERT_EQ(added.size(), 1u) << launched.out;
    std::string target = probe_fd_target(launched, *added.begin());
    EXPECT_EQ(target.rfind(temp + "/probe-", 0), 0u) << launched.out;
    EXPECT_EQ(target.find('/', temp.size() + 1), std::string::npos) << launched.out;
}

// A stored stream that breaks off in the middle of its data.
std::string cut_stream(size_t size)
{
    std::string data = pseudo_random_bytes(size, 3);
    Bytes stream;
    std::string error;
    EXPECT_EQ(compress_lzma_alone(Bytes(data.begin(), data.end()), stream, error), 0);
    return std::string(stream.begin(), stream.begin() + (long)stream.size() / 2);
}

struct MemcheckLog {
    std::string text;
    // Descriptors that the process opened itself and left open at exit, by
    // the path valgrind gives for them.
    std::vector<std::string> own_open_fds;
    bool clean = false;  // no memory error, no definite leak
};

MemcheckLog read_memcheck_log(const std::string &path)
{
    MemcheckLog log;
    log.text = read_text(path);
    std::vector<std::string> lines = split_lines(log.text);
    for (size_t i = 0; i < lines.size(); i++) {
        size_t at = lines[i].find("Open file descriptor ");
        if (at == std::string::npos)
            continue;
        bool inherited = i + 1 < lines.size() &&
                         lines[i + 1].find("<inherited from parent>") != std::string::npos;
        if (!inherited) {
            size_t colon = lines[i].find(": ", at);
            log.own_open_fds.push_back(colon == std::string::npos ? lines[i]
                                                                  : lines[i].substr(colon + 2));
        }
    }
    log.clean = log.text.find("ERROR SUMMARY: 0 errors") != std::string::npos;
    return log;
}

class Memcheck : public TargetTest {
protected:
    ScratchDir scratch;
    std::string temp;

    void SetUp() override
    {
#ifdef SFX_SANITIZED
        GTEST_SKIP() << "valgrind cannot run programs built with AddressSanitizer";
#endif
        temp = scratch / "temp";
        ASSERT_EQ(mkdir(temp.c_str(), 0700), 0);
        if (target() == "i386")
            skip_unless_valgrind_runs_i386();
    }

    // Valgrind runs i386 programs only where the kernel runs them natively and
    // the 32-bit dynamic loader has its symbols; under qemu it cannot start.
    void skip_unless_valgrind_runs_i386()
    {
        std::string launcher = pack_probe(target(), scratch);
        RunResult r = run_process({"valgrind", "-q", launcher, "@version"});
        if (r.exit_code != 0 || r.out != SFX_LAUNCHER_VERSION "\n") {
            std::vector<std::string> lines = split_lines(r.err);
            std::string reason = "no output";
            for (const std::string &line : lines)
                if (line.find("Fatal error") != std::string::npos ||
                    line.find("impossible") != std::string::npos) {
                    reason = line;
                    break;
                }
            GTEST_SKIP() << "valgrind cannot run i386 programs on this machine: " << reason;
        }
    }

    // Runs the launcher under memcheck with TEMP in the scratch directory.
    RunResult memcheck(const std::string &launcher, const std::vector<std::string> &args,
                       MemcheckLog &log, const std::string &cwd = "")
    {
        std::string log_path = scratch / "memcheck.log";
        unlink(log_path.c_str());
        std::vector<std::string> argv = {
            "valgrind", "--tool=memcheck", "--leak-check=full",
            "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite",
            "--track-fds=yes", "--child-silent-after-fork=yes",
            std::string("--log-fd=") + inherited_fd, launcher};
        argv.insert(argv.end(), args.begin(), args.end());
        RunOptions options;
        options.cwd = cwd;
        options.set_env = {"TEMP=" + temp};
        RunResult r = run_process(with_fd9(log_path, argv), options);
        log = read_memcheck_log(log_path);
        return r;
    }

    void expect_clean(const MemcheckLog &log)
    {
        EXPECT_TRUE(log.clean) << log.text;
        EXPECT_EQ(log.own_open_fds, std::vector<std::string>{}) << log.text;
    }
};

TEST_P(Memcheck, RunHandsTheProgramWhatTheLauncherInheritedAndTheLock)
{
    std::string launcher = pack_probe(target(), scratch);
    RunResult direct = run_process(with_fd9(scratch / "direct.log",
                                            {fixture_path(target(), "probe"), "fds"}));
    std::set<std::string> inherited = probe_fds(direct);
    ASSERT_TRUE(inherited.count(inherited_fd)) << direct.out;

    MemcheckLog log;
    RunResult r = memcheck(launcher, {"fds"}, log);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    expect_inherited_and_lock(r, inherited, temp);
    expect_clean(log);

    r = memcheck(launcher, {"@debug", "@verbose", "exit", "7"}, log);
    EXPECT_EQ(r.exit_code, 7) << r.err;
    expect_clean(log);
    EXPECT_EQ(list_dir(temp), std::vector<std::string>{});
}

TEST_P(Memcheck, UnpackAndListAreClean)
{
    std::string launcher = pack_probe(target(), scratch);
    MemcheckLog log;
    RunResult r = memcheck(launcher, {"@unpack", "@verbose"}, log, scratch.path);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(list_dir(scratch / "probe"), (std::vector<std::string>{"libprobe.so", "probe"}));
    expect_clean(log);

    r = memcheck(launcher, {"@list", "@debug"}, log, scratch.path);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(split_lines(r.out).size(), 3u) << r.out;
    expect_clean(log);
}

TEST_P(Memcheck, FailedExtractionIsClean)
{
    write_text(scratch / "broken", cut_stream(100000));
    std::string launcher = pack(target(), scratch / "launcher",
                                {"--force", fixture_path(target(), "probe"), "--stored", scratch / "broken"});
    MemcheckLog log;
    RunResult r = memcheck(launcher, {"report"}, log);
    // The decoder's one line, then the work directory that the partly
    // written file keeps from being removed.
    EXPECT_EQ(r.exit_code, 124);
    EXPECT_EQ(split_lines(r.err).size(), 2u) << r.err;
    EXPECT_EQ(r.err.rfind("broken: ", 0), 0u) << r.err;
    EXPECT_TRUE(log.clean) << log.text;
    // The run ends with exit(124) right after the failure: the file being
    // written is still open then, and only that one (opened by its name in
    // the work directory).
    ASSERT_EQ(log.own_open_fds.size(), 1u) << log.text;
    EXPECT_NE(log.own_open_fds[0].find("broken"), std::string::npos) << log.text;
}

TEST_P(Memcheck, ExecFailureAndTooManyFilesAreClean)
{
    write_text(scratch / "not-a-program", "neither ELF nor script\n");
    std::string launcher = pack(target(), scratch / "launcher", {scratch / "not-a-program"});
    MemcheckLog log;
    RunResult r = memcheck(launcher, {"a"}, log);
    EXPECT_EQ(r.exit_code, 125);
    EXPECT_NE(r.err.find("Exec format error"), std::string::npos) << r.err;
    expect_clean(log);

    std::vector<std::string> args = {"--force"};
    for (int i = 0; i < 33; i++) {
        write_text(scratch / ("f" + std::to_string(i)), std::to_string(i));
        args.push_back(scratch / ("f" + std::to_string(i)));
    }
    std::string crowded = pack(target(), scratch / "crowded", args);
    r = memcheck(crowded, {}, log);
    EXPECT_EQ(r.exit_code, 127);
    EXPECT_EQ(r.err.rfind("too many files\n", 0), 0u) << r.err;
    expect_clean(log);
}

INSTANTIATE_FOR_TARGETS(Memcheck);

// The same promise without valgrind, for both targets: a descriptor the
// caller left open reaches the program, and nothing else does but the lock.
class Descriptors : public TargetTest {
protected:
    ScratchDir scratch;
};

TEST_P(Descriptors, TheProgramInheritsWhatTheLauncherInheritedAndTheLock)
{
    std::string launcher = pack_probe(target(), scratch);
    RunResult direct = run_process(with_fd9(scratch / "file", {fixture_path(target(), "probe"), "fds"}));
    ASSERT_TRUE(probe_fds(direct).count(inherited_fd)) << direct.out;

    RunOptions options;
    options.set_env = {"TEMP=" + scratch.path};
    RunResult launched = run_process(with_fd9(scratch / "file", {launcher, "fds"}), options);
    EXPECT_EQ(launched.exit_code, 0) << launched.err;
    expect_inherited_and_lock(launched, probe_fds(direct), scratch.path);
}

INSTANTIATE_FOR_TARGETS(Descriptors);

}  // namespace
