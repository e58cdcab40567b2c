// Where a run unpacks when its temp directory cannot run programs: small
// tmpfs mounts in a private mount namespace, noexec or read-only, over the
// temp directory and each fallback in turn.
#include <unistd.h>

#include <regex>

#include "sfx.h"

namespace {

class ExecTemp : public TargetTest {
protected:
    ScratchDir scratch;
    ScratchDir temp;
    ScratchDir runtime;
    std::string launcher;
    std::string pid;

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "mounting a tmpfs needs root";
        launcher = pack_probe(target(), scratch);
    }

    // Mounts as asked (mount options, or "" for none, for $T, $X, /dev/shm
    // and /var/tmp), then runs the launcher with args under its own pid
    // (printed first as pid=) and lists what is left in the four places.
    // before runs just ahead of the launcher, with that pid in $$.
    RunResult in_namespace(const std::vector<std::string> &mounts,
                           const std::vector<std::string> &args,
                           bool with_runtime_dir, const std::string &before = "")
    {
        const char *points[] = {"\"$T\"", "\"$X\"", "/dev/shm", "/var/tmp"};
        std::string script;
        for (size_t i = 0; i < mounts.size(); i++)
            script += "mount -t tmpfs -o size=4m" + (mounts[i].empty() ? "" : "," + mounts[i]) +
                      " sfxtest " + points[i] + " && ";
        script += "sh -c 'echo pid=$$; " + before + " exec \"$L\" \"$@\"' sh";
        for (const std::string &arg : args)
            script += " " + arg;
        script += "; echo status=$?; echo left=$(find \"$T\" \"$X\" /dev/shm /var/tmp -mindepth 1)";
        RunOptions options;
        options.set_env = {"T=" + temp.path, "X=" + runtime.path, "L=" + launcher,
                           "TEMP=" + temp.path};
        if (with_runtime_dir)
            options.set_env.push_back("XDG_RUNTIME_DIR=" + runtime.path);
        else
            options.unset_env = {"XDG_RUNTIME_DIR"};
        RunResult r = run_process(
            {"unshare", "-m", "--propagation", "private", "sh", "-c", script}, options);
        std::smatch m;
        if (std::regex_search(r.out, m, std::regex("^pid=([0-9]+)\n")))
            pid = m[1];
        return r;
    }

    std::string work_dir_in(const std::string &dir) const { return dir + "/probe-" + pid; }
};

TEST_P(ExecTemp, AnExecutableTempIsUsedAsBefore)
{
    RunResult r = in_namespace({""}, {"@debug", "report"}, true);
    EXPECT_EQ(r.err, "");
    std::string work = work_dir_in(temp.path);
    EXPECT_EQ(r.out.rfind("pid=" + pid + "\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\nwork dir: '" + work + "'\nmakedir: " + work + "\nunpack "),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("temp dir:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("exe=" + work + "/probe\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("status=0\nleft=\n"), std::string::npos) << r.out;
}

TEST_P(ExecTemp, NoexecTempFallsBackToTheRuntimeDirAndReclaimsThere)
{
    // The runtime directory is the caller's own and private, by its rules.
    RunResult r = in_namespace({"noexec", "mode=0700"}, {"@debug", "report"}, true,
                               "mkdir \"$X/probe-4000001\" && : > \"$X/probe-4000001/probe\" && "
                               ": > \"$X/probe-4000001/.sfxlaunch-work-dir\" &&");
    EXPECT_EQ(r.err, "");
    std::string work = work_dir_in(runtime.path);
    // The program's output can come first: the launcher's trace is
    // buffered until it ends.
    EXPECT_NE(r.out.find("\nwork dir: '" + work_dir_in(temp.path) + "'\ntemp dir: skip '" +
                         temp.path + "': mounted noexec\n" + "work dir: '" + work +
                         "'\nmakedir: " + work + "\nunpack "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("exe=" + work + "/probe\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("reclaim: " + runtime.path + "/probe-4000001\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("status=0\nleft=\n"), std::string::npos) << r.out;
}

TEST_P(ExecTemp, ReadOnlyTempAndNoexecShmFallBackToVarTmp)
{
    // The usual name is taken there: the fresh-name rule holds in a
    // fallback too, and the run reclaims the dead directory that took it.
    RunResult r = in_namespace({"ro", "", "noexec", ""}, {"@debug", "report"}, false,
                               "mkdir /var/tmp/probe-$$ && : > /var/tmp/probe-$$/probe && "
                               ": > /var/tmp/probe-$$/.sfxlaunch-work-dir &&");
    EXPECT_EQ(r.err, "");
    std::string work = work_dir_in("/var/tmp");
    std::regex expected("\nwork dir: '" + work_dir_in(temp.path) +
                        "'\ntemp dir: skip '" + temp.path + "': read-only\n"
                        "temp dir: skip \\$XDG_RUNTIME_DIR: not set\n"
                        "temp dir: skip '/dev/shm': mounted noexec\n"
                        "work dir: '" + work + "'\nmakedir: " + work + "\nmakedir: " + work +
                        "\\.[A-Za-z0-9]{6}\nunpack '" + work + "\\.");
    EXPECT_TRUE(std::regex_search(r.out, expected)) << r.out;
    EXPECT_NE(r.out.find("exe=" + work + "."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("reclaim: " + work + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("status=0\nleft=\n"), std::string::npos) << r.out;
}

TEST_P(ExecTemp, NoDirectoryThatCanRunProgramsEndsWith126BeforeUnpacking)
{
    RunResult r = in_namespace({"noexec", "ro", "noexec", "ro"}, {"report"}, true);
    EXPECT_EQ(r.err, temp.path +
                         " is mounted noexec, and no fallback ($XDG_RUNTIME_DIR, /dev/shm, "
                         "/var/tmp) can run programs either: set TEMP to a directory that can\n");
    EXPECT_EQ(r.out, "pid=" + pid + "\nstatus=126\nleft=\n");

    r = in_namespace({"ro", "noexec", "ro", "noexec"}, {"@debug", "report"}, true);
    std::string skips = "temp dir: skip '" + temp.path + "': read-only\n" +
                        "temp dir: skip '" + runtime.path + "': mounted noexec\n" +
                        "temp dir: skip '/dev/shm': read-only\n" +
                        "temp dir: skip '/var/tmp': mounted noexec\n";
    EXPECT_EQ(r.out, "pid=" + pid + "\nwork dir: '" + work_dir_in(temp.path) + "'\n" + skips +
                         "status=126\nleft=\n");
    EXPECT_EQ(r.err.rfind(temp.path + " is read-only, and no fallback", 0), 0u) << r.err;
}

// A fallback that cannot be examined, or that can run programs but takes no
// directory (a tmpfs with no inode left), is passed over with its reason, and
// the next one is asked.
TEST_P(ExecTemp, FallbacksThatFailAreEachPassedOverWithTheirReason)
{
    RunResult r = in_namespace({"noexec", "", "nr_inodes=1", ""}, {"@debug", "report"}, false,
                               "export XDG_RUNTIME_DIR=\"$X/gone\";");
    EXPECT_EQ(r.err, "");
    std::string shm = work_dir_in("/dev/shm"), work = work_dir_in("/var/tmp");
    EXPECT_NE(r.out.find("\nwork dir: '" + work_dir_in(temp.path) + "'\ntemp dir: skip '" +
                         temp.path + "': mounted noexec\ntemp dir: skip '" + runtime.path +
                         "/gone': No such file or directory\nwork dir: '" + shm +
                         "'\nmakedir: " + shm +
                         "\ntemp dir: skip '/dev/shm': No space left on device\n"
                         "work dir: '" + work + "'\nmakedir: " + work + "\nunpack "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("exe=" + work + "/probe\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("status=0\nleft=\n"), std::string::npos) << r.out;

    // The last fallback failing so ends the run as the others would have.
    r = in_namespace({"ro", "", "noexec", "nr_inodes=1"}, {"@debug", "report"}, false,
                     "export XDG_RUNTIME_DIR=run;");
    EXPECT_EQ(r.out, "pid=" + pid + "\nwork dir: '" + work_dir_in(temp.path) +
                         "'\ntemp dir: skip '" + temp.path + "': read-only\n"
                         "temp dir: skip $XDG_RUNTIME_DIR: not absolute\n"
                         "temp dir: skip '/dev/shm': mounted noexec\n"
                         "work dir: '" + work_dir_in("/var/tmp") + "'\nmakedir: " +
                         work_dir_in("/var/tmp") +
                         "\ntemp dir: skip '/var/tmp': No space left on device\n"
                         "status=126\nleft=\n");
    EXPECT_EQ(r.err, temp.path +
                         " is read-only, and no fallback ($XDG_RUNTIME_DIR, /dev/shm, "
                         "/var/tmp) can run programs either: set TEMP to a directory that can\n");
}

INSTANTIATE_FOR_TARGETS(ExecTemp);

class LongTemp : public TargetTest {
protected:
    ScratchDir scratch;
};

// A work-directory name longer than the launcher's buffer is never cut
// short into some other directory: the run stops before unpacking.
TEST_P(LongTemp, AWorkDirTooLongForTheBufferIsRefusedWith126)
{
    std::string launcher = pack_probe(target(), scratch);
    std::string temp = scratch / std::string(70000, 'd');
    RunOptions options;
    options.set_env = {"TEMP=" + temp};
    RunResult r = run_process({launcher, "report"}, options);
    EXPECT_EQ(r.exit_code, 126);
    EXPECT_EQ(r.out, "");
    // What is named is the name as far as the buffer holds it.
    EXPECT_EQ(r.err, temp.substr(0, 65534) + ": File name too long\n");
}

INSTANTIATE_FOR_TARGETS(LongTemp);

}  // namespace
