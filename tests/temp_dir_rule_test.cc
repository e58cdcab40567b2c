// Which temp directories a run may use: only one where no one but the
// caller and root can swap the work directory for another between its
// making and the program's start, and, for a program packed with its own C
// library, one whose path its library search path can hold. Any other is
// passed over, traced, for the next.
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "sfx.h"

namespace {

const uid_t nobody = 65534;

std::string traced_skip(const std::string &dir, const std::string &reason)
{
    return "temp dir: skip '" + dir + "': " + reason + "\n";
}

// The directory a run's program was started from, from the probe's report.
std::string program_dir(const RunResult &r)
{
    std::smatch m;
    if (!std::regex_search(r.out, m, std::regex("\nexe=(.*)/[^/\n]*\n")))
        return "(no exe line)";
    return m[1];
}

class TempDirRule : public TargetTest {
protected:
    ScratchDir scratch;
    ScratchDir runtime;  // the caller's own, mode 0700: a fallback that will do
    std::string launcher;

    void SetUp() override { launcher = pack_probe(target(), scratch); }

    RunResult run_in(const std::string &temp, const std::vector<std::string> &args,
                     const std::string &runtime_dir)
    {
        RunOptions options;
        options.set_env = {"XDG_RUNTIME_DIR=" + runtime_dir};
        return run_launcher(launcher, args, temp, options);
    }
};

// Others may rename what the caller makes in a directory they can write to,
// unless its sticky bit stops them; a link can be pointed elsewhere.
TEST_P(TempDirRule, TempThatOthersCanRenameInIsPassedOverForTheNextCandidate)
{
    ScratchDir own;
    std::string group = scratch / "group", others = scratch / "others",
                sticky = scratch / "sticky", link = scratch / "link";
    for (const std::string &dir : {group, others, sticky})
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(chmod(group.c_str(), 0770), 0);
    ASSERT_EQ(chmod(others.c_str(), 0707), 0);
    ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
    ASSERT_EQ(symlink(own.path.c_str(), link.c_str()), 0);

    struct Case {
        std::string temp;
        std::string reason;
    };
    // A trailing slash would have the link followed.
    for (const Case &c : {Case{group, "writable by group and not sticky"},
                          Case{others, "writable by others and not sticky"},
                          Case{link + "/", "a symbolic link"}}) {
        SCOPED_TRACE(c.temp);
        RunResult r = run_in(c.temp, {"@debug", "report"}, runtime.path);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.out.find("'\n" + traced_skip(c.temp, c.reason) + "work dir: '" +
                             runtime.path + "/probe-"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(program_dir(r).rfind(runtime.path + "/probe-", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("\nlibrary=42\n"), std::string::npos) << r.out;
    }
    EXPECT_EQ(list_dir(runtime.path), std::vector<std::string>{});
    EXPECT_EQ(list_dir(own.path), std::vector<std::string>{});

    // Sticky, as /tmp is: each keeps to their own names there.
    RunResult r = run_in(sticky, {"@debug", "report"}, runtime.path);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out.find("temp dir: skip"), std::string::npos) << r.out;
    EXPECT_EQ(program_dir(r).rfind(sticky + "/probe-", 0), 0u) << r.out;
    EXPECT_EQ(list_dir(sticky), std::vector<std::string>{});
}

// `su` without `-` leaves the other user's $XDG_RUNTIME_DIR behind.
TEST_P(TempDirRule, RuntimeDirOfAnotherUserOrOpenToOthersIsPassedOver)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a directory of another user needs root";
    std::string temp = scratch / "group";
    ASSERT_EQ(mkdir(temp.c_str(), 0770), 0);
    ASSERT_EQ(chmod(temp.c_str(), 0770), 0);
    ASSERT_EQ(chown(runtime.path.c_str(), nobody, nobody), 0);
    RunResult r = run_in(temp, {"@debug", "report"}, runtime.path);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(traced_skip(temp, "writable by group and not sticky") +
                         traced_skip(runtime.path, "owned by uid 65534") + "work dir: '"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(program_dir(r).find(runtime.path), std::string::npos) << r.out;

    // The caller's own, but not private: its rules ask for 0700.
    ASSERT_EQ(chown(runtime.path.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(runtime.path.c_str(), 0750), 0);
    r = run_in(temp, {"@debug", "report"}, runtime.path);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(traced_skip(runtime.path, "mode 0750, not 0700")), std::string::npos)
        << r.out;
    EXPECT_EQ(program_dir(r).find(runtime.path), std::string::npos) << r.out;
    EXPECT_EQ(list_dir(runtime.path), std::vector<std::string>{});
    EXPECT_EQ(list_dir(temp), std::vector<std::string>{});
}

TEST_P(TempDirRule, NoCandidateLeftEndsWith126BeforeUnpacking)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    std::string temp = scratch / "others";
    ASSERT_EQ(mkdir(temp.c_str(), 0700), 0);
    ASSERT_EQ(chmod(temp.c_str(), 0777), 0);
    RunOptions options;
    options.set_env = {"L=" + launcher, "TEMP=" + temp};
    options.unset_env = {"XDG_RUNTIME_DIR"};
    RunResult r = run_process(
        {"unshare", "-m", "--propagation", "private", "sh", "-c",
         "mount -t tmpfs -o size=4m,noexec sfxtest /dev/shm && "
         "mount -t tmpfs -o size=4m,ro sfxtest /var/tmp || exit 90; "
         "\"$L\" report; echo status=$?; echo left=$(find \"$TEMP\" /dev/shm -mindepth 1)"},
        options);
    EXPECT_EQ(r.err, temp + " is writable by others and not sticky, and no fallback "
                            "($XDG_RUNTIME_DIR, /dev/shm, /var/tmp) will do either: set TEMP to "
                            "a directory of your own that can run programs\n");
    EXPECT_EQ(r.out, "status=126\nleft=\n");
}

// What the caller cannot write to is tried as ever, and making the work
// directory there says why it failed, whoever owns it.
TEST_P(TempDirRule, TempTheCallerCannotWriteToFailsAsBefore)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "running as another user needs root";
    ASSERT_EQ(chmod(scratch.path.c_str(), 0755), 0);
    std::string temp = scratch / "daemons";
    ASSERT_EQ(mkdir(temp.c_str(), 0755), 0);
    ASSERT_EQ(chown(temp.c_str(), 1, 1), 0);
    RunOptions options;
    options.set_env = {"TEMP=" + temp, "XDG_RUNTIME_DIR=" + runtime.path};
    RunResult r = run_process({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                               launcher, "report"},
                              options);
    EXPECT_EQ(r.exit_code, 126);
    EXPECT_TRUE(std::regex_match(r.err, std::regex(temp + "/probe-[0-9]+: Permission denied\n")))
        << r.err;
    EXPECT_EQ(r.out, "");
}

// Root runs launchers where the temp directory cannot run programs, with
// the $XDG_RUNTIME_DIR of another user, who renames each new work
// directory away the moment it appears and puts one of their own in its
// place, open to all and holding links named after the entries that point
// at a file of root's. Whatever the timing, nothing is written through
// them: the runs never use that user's directory, and in the sticky
// /dev/shm they use instead nothing of root's can be renamed.
TEST_P(TempDirRule, RootNeverWritesThroughAWorkDirSwappedByAnotherUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "another user and a noexec mount need root";
    ScratchDir shared;
    ASSERT_EQ(chmod(shared.path.c_str(), 0755), 0);
    std::string temp = shared / "temp", theirs = shared / "theirs";
    ASSERT_EQ(mkdir(temp.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(theirs.c_str(), 0700), 0);
    ASSERT_EQ(chown(theirs.c_str(), nobody, nobody), 0);
    std::string victim = scratch / "victim";
    write_text(victim, "root's own\n");
    ASSERT_EQ(chmod(victim.c_str(), 0600), 0);

    RunOptions options;
    options.set_env = {"L=" + launcher, "TEMP=" + temp, "XDG_RUNTIME_DIR=" + theirs,
                       "W=" + std::string(SFX_FIXTURE_DIR) + "/work_dir_planter",
                       "V=" + victim, "S=" + shared.path};
    std::string script =
        "mount -t tmpfs -o size=4m,noexec sfxtest \"$TEMP\" && "
        "mount -t tmpfs -o size=16m sfxtest /dev/shm && : > \"$S/watching\" || exit 90\n"
        "setpriv --reuid=65534 --regid=65534 --clear-groups \"$W\" \"$V\" "
        "\"$XDG_RUNTIME_DIR\" /dev/shm >> \"$S/watching\" &\n"
        "i=0; while [ $i -lt 200 ] && ! grep -q watching \"$S/watching\"; do "
        "sleep 0.05; i=$((i+1)); done\n"
        "ok=0; i=0; while [ $i -lt 200 ]; do "
        "\"$L\" exit 0 && ok=$((ok+1)); i=$((i+1)); done\n"
        // The watcher was at work all along: it takes a name made now.
        "mkdir \"$XDG_RUNTIME_DIR/probe-1\"; i=0; "
        "while [ $i -lt 200 ] && [ ! -L \"$XDG_RUNTIME_DIR/probe-1/probe\" ]; do "
        "sleep 0.05; i=$((i+1)); done\n"
        "[ -L \"$XDG_RUNTIME_DIR/probe-1/probe\" ] && echo armed\n"
        "kill $!; wait\n"
        "echo ok=$ok; echo left=$(find /dev/shm -mindepth 1)\n";
    RunResult r = run_process({"unshare", "-m", "--propagation", "private", "sh", "-c", script},
                              options);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "armed\nok=200\nleft=\n");
    EXPECT_TRUE(read_text(victim) == "root's own\n") << "root's file was written through a link";
    EXPECT_EQ(file_mode(victim), 0600u);
    std::vector<std::string> planted = list_dir(theirs);
    EXPECT_EQ(planted, (std::vector<std::string>{"probe-1", "probe-1.moved"}));
}

INSTANTIATE_FOR_TARGETS(TempDirRule);

// A program packed with its own C library finds its libraries through a
// search path that holds the work directory: a ':' there splits it and a
// '$' starts a name the loader expands, so the libraries could come from
// elsewhere. Such a temp directory is passed over, and @unpack refuses
// such a place.
class LibcSearchPath : public TargetTest {
protected:
    ScratchDir scratch;
    ScratchDir runtime;
    std::string launcher;

    void SetUp() override
    {
        launcher = scratch / "probe-sfx";
        RunResult packed = run_sfxpack(
            {"--bundle", "--libc", "-o", launcher, fixture_path(target(), "probe")});
        ASSERT_EQ(packed.exit_code, 0) << packed.err;
    }
};

TEST_P(LibcSearchPath, TempWhosePathHoldsColonOrDollarIsPassedOver)
{
    // What the split path would find, were it used.
    ASSERT_EQ(mkdir((scratch / "evil").c_str(), 0700), 0);
    write_text(scratch / "evil/libc.so.6", "not a library");
    write_text(scratch / "evil/libprobe.so", "not a library");
    std::string cwd = scratch / "cwd:x";
    for (const std::string &dir : {scratch / "evil:y", scratch / "$ORIGIN", cwd})
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0) << dir;

    struct Case {
        std::string temp;
        std::string reason;
    };
    // A relative TEMP is judged by the path it has from the current
    // directory.
    for (const Case &c : {Case{scratch / "evil:y", "a path with ':' in it"},
                          Case{scratch / "$ORIGIN", "a path with '$' in it"},
                          Case{".", "a path with ':' in it"}}) {
        SCOPED_TRACE(c.temp);
        RunOptions options;
        options.set_env = {"XDG_RUNTIME_DIR=" + runtime.path};
        options.cwd = cwd;
        RunResult r = run_launcher(launcher, {"@debug", "report"}, c.temp, options);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.out.find(traced_skip(c.temp, c.reason) + "work dir: '" + runtime.path +
                             "/probe-"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(program_dir(r).rfind(runtime.path + "/probe-", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("\nlibrary=42\n"), std::string::npos) << r.out;
    }
    for (const std::string &dir : {scratch / "evil:y", scratch / "$ORIGIN", cwd, runtime.path})
        EXPECT_EQ(list_dir(dir), std::vector<std::string>{}) << dir;

    // Any other program has no search path to break.
    std::string plain = pack_probe(target(), scratch);
    RunResult r = run_launcher(plain, {"report"}, scratch / "evil:y");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(program_dir(r).rfind(scratch / "evil:y/probe-", 0), 0u) << r.out;
}

TEST_P(LibcSearchPath, UnpackWhereTheSearchPathCannotNameTheDirectoryIsRefused)
{
    for (const char *name : {"a:b", "$LIB"}) {
        std::string cwd = scratch / name;
        ASSERT_EQ(mkdir(cwd.c_str(), 0700), 0);
        RunOptions here;
        here.cwd = cwd;
        RunResult r = run_process({launcher, "@unpack"}, here);
        EXPECT_EQ(r.exit_code, 126);
        EXPECT_EQ(r.err, cwd + "/probe is a path with '" + (name[0] == '$' ? "$" : ":") +
                             "' in it, which the packed program's library search path "
                             "cannot hold\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(list_dir(cwd), std::vector<std::string>{});
    }
}

INSTANTIATE_FOR_TARGETS(LibcSearchPath);

}  // namespace
