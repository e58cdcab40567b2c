// Launchers inside real root file systems, entered with chroot as CI enters
// them (scripts/build-test-roots builds them under build/roots/): Debian 11's,
// whose only C library is glibc 2.31 at its usual paths, and one with no C
// library at all. Unlike OldGlibcRun, the program that a launcher starts
// runs on the root's glibc too.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <regex>

#include "elf_file.h"
#include "glibc_needs.h"
#include "root_run.h"
#include "sfx.h"
#include "sfx_version.h"

namespace {

// Work directories and process ids differ from run to run, and where @debug
// traces the end of the child depends on timing.
std::string without_pids(const std::string &text)
{
    static const std::regex pid("(probe-|pid |-> )[0-9]+");
    static const std::regex sigchld("(^|\n)SIGCHLD\n");
    return std::regex_replace(std::regex_replace(text, sigchld, "$1"), pid, "$1N");
}

std::string without(std::string text, const std::string &part)
{
    for (size_t at; (at = text.find(part)) != std::string::npos;)
        text.erase(at, part.size());
    return text;
}

std::vector<std::string> sorted_lines(const std::string &text)
{
    std::vector<std::string> lines = split_lines(text);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The probe that needs no glibc newer than the launcher does.
std::string floor_probe(const std::string &target) { return fixture_path(target, "floor/probe"); }

// Bundles program with --libc (or without) into output; fails the test when
// packing fails.
void bundle(const std::string &output, const std::string &program, bool libc)
{
    std::vector<std::string> args = {"--bundle", "-q", "-o", output, program};
    if (libc)
        args.insert(args.begin() + 1, "--libc");
    RunResult r = run_sfxpack(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
}

// The value of the probe's "key: value" line, or "(none)".
std::string fact(const std::string &out, const std::string &key)
{
    for (const std::string &line : split_lines(out))
        if (line.rfind(key + ": ", 0) == 0)
            return line.substr(key.size() + 2);
    return "(none)";
}

// What the libc probe must say wherever it runs with its glibc packed: it
// sees itself started from its own file, and whatever a conversion or locale
// the root cannot serve, it fails cleanly; the probe ends normally.
void expect_libc_probe_facts(const RunResult &r, const std::string &temp, bool proc)
{
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(fact(r.out, "argv0"), "libc_probe");
    std::smatch execfn;
    std::string named = fact(r.out, "execfn");
    EXPECT_TRUE(std::regex_match(named, execfn, std::regex(temp + "/libc_probe-[0-9]+/libc_probe")))
        << r.out;
    EXPECT_EQ(fact(r.out, "exe"), proc ? named : "No such file or directory");
    EXPECT_EQ(fact(r.out, "getpwnam no-such-user"), "not found");
    EXPECT_EQ(fact(r.out, "iconv UTF-8 to ASCII//TRANSLIT"), "683f6c6c6f");
    EXPECT_EQ(fact(r.out, "iconv UTF-8 to UCS-2LE"), "6800e9006c006c006f00");
    for (const char *set : {"ISO-8859-1", "UTF-16", "UTF-32"}) {
        std::string result = fact(r.out, std::string("iconv UTF-8 to ") + set);
        EXPECT_TRUE(std::regex_match(result, std::regex("[0-9a-f]+|iconv_open failed: Invalid argument")))
            << set << ": " << result;
    }
    EXPECT_EQ(fact(r.out, "setlocale de_DE.UTF-8"), "NULL");
}

// The libraries of the packed glibc that the libc probe loads by name are the
// ones packed beside it, in the work directory under temp, as the loader
// names them: not the root's, of another glibc, nor none.
void expect_packed_libraries_loaded(const RunResult &r, const std::string &temp)
{
    EXPECT_EQ(r.exit_code, 0) << r.err << r.out;
    EXPECT_EQ(r.err, "");
    for (const char *name : {"libm.so.6", "libresolv.so.2", "libpthread.so.0"})
        EXPECT_TRUE(std::regex_match(fact(r.out, std::string("dlopen ") + name),
                                     std::regex(temp + "/libc_probe-[0-9]+/" + name)))
            << r.out;
}

// A test's own directory in the root's /tmp, which launchers there use.
class RealRoot : public TargetTest {
protected:
    std::string root;
    std::unique_ptr<ScratchDir> scratch;
    std::string inside;  // scratch as the root names it
    std::string temp;    // scratch/temp: TEMP, as the root names it

    void enter(const std::string &name)
    {
        root = test_root(name);
        ASSERT_EQ(test_root_missing(root), "");
        if (geteuid() != 0)
            GTEST_SKIP() << "chroot needs root";
        ASSERT_EQ(make_root_scratch(root, scratch, inside, temp), "");
    }
    RunResult in_root(const std::vector<std::string> &argv, bool mount_proc = true)
    {
        RootRunOptions options;
        options.env = {"TEMP=" + temp};
        options.mount_proc = mount_proc;
        options.cwd = inside;
        return run_in_root(root, argv, options);
    }
    std::vector<std::string> left_in_temp() { return list_dir(*scratch / "temp"); }
};

class Debian11Root : public RealRoot {
protected:
    std::string launcher;  // inside the root

    void SetUp() override
    {
#ifdef SFX_SANITIZED
        GTEST_SKIP() << "the sanitizers' run-time code needs the glibc that built it";
#endif
        enter("debian11");
        if (IsSkipped() || HasFatalFailure())
            return;
        ElfImage probe;
        std::string error;
        ASSERT_EQ(probe.load(floor_probe(target()), error), 0) << error;
        ASSERT_EQ(needs_above_floor(probe, "2.31"), std::vector<std::string>{})
            << "the floor probe must run on Debian 11's glibc";
        pack(target(), *scratch / "launcher",
             {floor_probe(target()), fixture_path(target(), "libprobe.so")});
        launcher = inside + "/launcher";
    }
    std::vector<std::string> with_launcher(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {launcher};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    // A run inside the root, against the same run on the host, from the same
    // directory with the same TEMP.
    void expect_same_as_host(const std::vector<std::string> &args, int exit_code)
    {
        RunResult there = in_root(with_launcher(args));
        RunOptions options;
        options.cwd = scratch->path;
        RunResult host = run_launcher(*scratch / "launcher", args, root + temp, options);
        EXPECT_EQ(there.exit_code, exit_code) << there.err;
        EXPECT_EQ(host.exit_code, exit_code) << host.err;
        EXPECT_EQ(without_pids(there.out), without_pids(without(host.out, root)));
        EXPECT_EQ(without_pids(there.err), without_pids(without(host.err, root)));
        EXPECT_EQ(left_in_temp(), std::vector<std::string>{}) << "the exit handler ran";
    }
};

TEST_P(Debian11Root, LauncherRunsThereInEveryModeAsOnTheHost)
{
    expect_same_as_host({"@version"}, 0);
    expect_same_as_host({"@list"}, 0);
    expect_same_as_host({"report", "two words", ""}, 0);
    expect_same_as_host({"exit", "3"}, 3);
    expect_same_as_host({"dispositions"}, 0);
    expect_same_as_host({"@verbose", "exit", "5"}, 5);
    expect_same_as_host({"@debug", "exit", "4"}, 4);

    // The environment the program sees is the one the launcher was given.
    RunResult env = in_root(with_launcher({"env"}));
    EXPECT_EQ(env.exit_code, 0) << env.err;
    EXPECT_EQ(env.out, "TEMP=" + temp + "\n");

    RunResult unpacked = in_root(with_launcher({"@unpack"}));
    EXPECT_EQ(unpacked.exit_code, 0) << unpacked.err;
    EXPECT_EQ(read_text(*scratch / "probe/probe"), read_text(floor_probe(target())));
    EXPECT_EQ(read_text(*scratch / "probe/libprobe.so"),
              read_text(fixture_path(target(), "libprobe.so")));
}

TEST_P(Debian11Root, WorkDirectoryIsInTheRootsTmpAndGoesAway)
{
    RootRunOptions bare;  // no TEMP, no TMP: /tmp
    bare.mount_proc = true;
    RunResult r = run_in_root(root, with_launcher({"report", "x"}), bare);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::smatch exe;
    ASSERT_TRUE(std::regex_search(r.out, exe, std::regex("\nexe=(/tmp/probe-[0-9]+)/probe\n")))
        << r.out;
    EXPECT_NE(r.out.find("argv[0]=probe\nargv[1]=report\nargv[2]=x\ncwd=/\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\nlibrary=42\n"), std::string::npos) << r.out;
    EXPECT_FALSE(file_exists(root + exe[1].str())) << exe[1];
}

// Without /proc the launcher itself runs, but the loader finds no $ORIGIN
// for the program it starts, so the program's own library is not found.
TEST_P(Debian11Root, WithoutProcTheProgramsOriginIsUnknown)
{
    RunResult version = in_root(with_launcher({"@version"}), false);
    EXPECT_EQ(version.exit_code, 0) << version.err;
    EXPECT_EQ(version.out, SFX_LAUNCHER_VERSION "\n");
    RunResult list = in_root(with_launcher({"@list"}), false);
    EXPECT_EQ(list.exit_code, 0) << list.err;
    EXPECT_EQ(list.out, in_root(with_launcher({"@list"})).out);

    RunResult run = in_root(with_launcher({"exit", "3"}), false);
    EXPECT_EQ(run.exit_code, 127);
    EXPECT_EQ(run.err, "probe: error while loading shared libraries: libprobe.so: "
                       "cannot open shared object file: No such file or directory\n");
    EXPECT_EQ(left_in_temp(), std::vector<std::string>{});
}

TEST_P(Debian11Root, ProgramNeedingANewerGlibcStopsInTheLoader)
{
    std::string newest = fixture_path(target(), "glibc/newest");
    pack(target(), *scratch / "newest-sfx", {newest, fixture_path(target(), "glibc/libfake_glibc.so.1")});
    RunResult host = run_launcher(*scratch / "newest-sfx", {}, root + temp);
    EXPECT_EQ(host.exit_code, 0) << host.err;
    EXPECT_EQ(host.out, "99 100\n");

    // The libc.so.6 versions that Debian 11 lacks; the loader names one.
    ElfImage image;
    std::string error;
    ASSERT_EQ(image.load(newest, error), 0) << error;
    std::vector<std::string> lacking;
    for (const std::string &need : needs_above_floor(image, "2.31"))
        if (need.rfind("libc.so.6: ", 0) == 0)
            lacking.push_back(need.substr(11));
    ASSERT_FALSE(lacking.empty()) << "newest was built on glibc 2.31 or older";

    // The status is the loader's own, as when the program is started directly.
    RunResult unpacked = in_root({inside + "/newest-sfx", "@unpack"});
    ASSERT_EQ(unpacked.exit_code, 0) << unpacked.err;
    RunResult direct = in_root({inside + "/newest/newest"});
    EXPECT_NE(direct.exit_code, 0) << direct.err;

    RunResult r = in_root({inside + "/newest-sfx"});
    EXPECT_EQ(r.exit_code, direct.exit_code);
    std::string multiarch = target() == "x86_64" ? "x86_64-linux-gnu" : "i386-linux-gnu";
    std::smatch line;
    ASSERT_TRUE(std::regex_match(
        r.err, line,
        std::regex("newest: /lib/" + multiarch +
                   "/libc\\.so\\.6: version `(GLIBC_[0-9.]+)' not found \\(required by newest\\)\n")))
        << r.err;
    EXPECT_NE(std::find(lacking.begin(), lacking.end(), line[1].str()), lacking.end()) << line[1];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(left_in_temp(), std::vector<std::string>{});
}

TEST_P(Debian11Root, FileThatIsNotAProgramFailsToExec)
{
    write_text(*scratch / "notprog", "plain text\n");
    pack(target(), *scratch / "text", {*scratch / "notprog"});
    RunResult r = in_root({inside + "/text"});
    EXPECT_EQ(r.exit_code, 125);
    EXPECT_TRUE(std::regex_match(
        r.err, std::regex(temp + "/notprog-[0-9]+/notprog: Exec format error\n")))
        << r.err;
    EXPECT_EQ(left_in_temp(), std::vector<std::string>{});
}

// Built here, the probe needs a glibc newer than Debian 11's: without --libc
// the loader stops it; with --libc it runs, with /proc or without, and what
// it starts runs on the root's own glibc in the environment it was given.
TEST_P(Debian11Root, ProgramBuiltHereRunsThereWithItsCLibrary)
{
    std::string probe = fixture_path(target(), "libc_probe");
    bundle(*scratch / "plain-sfx", probe, false);
    bundle(*scratch / "libc-sfx", probe, true);

    RunResult plain = in_root({inside + "/plain-sfx"});
    EXPECT_NE(plain.exit_code, 0);
    EXPECT_TRUE(std::regex_search(plain.err, std::regex("version `GLIBC_2\\.3[2-9]' not found")))
        << plain.err;

    for (bool proc : {true, false}) {
        SCOPED_TRACE(proc ? "with /proc" : "without /proc");
        RunResult r = in_root({inside + "/libc-sfx", "two words"}, proc);
        expect_libc_probe_facts(r, temp, proc);
        EXPECT_EQ(fact(r.out, "arg"), "two words");
        EXPECT_EQ(fact(r.out, "getpwuid 0"), "root");
        EXPECT_EQ(fact(r.out, "getgrgid 0"), "root");
        EXPECT_EQ(fact(r.out, "getaddrinfo localhost").substr(0, 9), "127.0.0.1") << r.out;
        EXPECT_EQ(left_in_temp(), std::vector<std::string>{});
    }
    // The root's jq starts on the root's loader and glibc 2.31, and nothing
    // was added to the environment that would lead it to the packed one.
    RunResult child = in_root({inside + "/libc-sfx", "child",
                               "env | grep -E '^(TEMP|LD_|GCONV|LOCPATH)'; /usr/bin/jq -n '[1,2]|add'"});
    EXPECT_EQ(child.exit_code, 0) << child.err;
    EXPECT_EQ(child.out, "TEMP=" + temp + "\n3\n");
    EXPECT_EQ(in_root({inside + "/libc-sfx", "exit", "9"}).exit_code, 9);
}

// The root's glibc 2.31 has every library the probe asks for by name; with
// --libc the program gets those of the glibc it was packed with. So with
// glibc's own NSS modules: where nsswitch.conf names compat (as Debian's did
// before 12), the packed module answers, where the root's, of glibc 2.31,
// would be refused by the packed glibc and the lookup would find nothing.
TEST_P(Debian11Root, LibrariesLoadedByNameAreThoseOfThePackedGlibc)
{
    bundle(*scratch / "libc-sfx", fixture_path(target(), "libc_probe"), true);
    for (bool proc : {true, false}) {
        SCOPED_TRACE(proc ? "with /proc" : "without /proc");
        expect_packed_libraries_loaded(in_root({inside + "/libc-sfx", "dlopen", "libm.so.6",
                                                "libresolv.so.2", "libpthread.so.0"},
                                               proc),
                                       temp);
        EXPECT_EQ(left_in_temp(), std::vector<std::string>{});
    }

    write_text(*scratch / "nsswitch.conf", "passwd: compat\ngroup: compat\nhosts: files dns\n");
    RunOptions options;
    options.set_env = {"TEMP=" + temp};
    RunResult r = run_process({"unshare", "--mount", "--propagation", "private", "sh", "-ec",
                               "mount --bind \"$1\" \"$2/etc/nsswitch.conf\"\n"
                               "exec chroot \"$2\" \"$3\"",
                               "sh", *scratch / "nsswitch.conf", root, inside + "/libc-sfx"},
                              options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(fact(r.out, "getpwuid 0"), "root") << r.out;
    EXPECT_EQ(fact(r.out, "getgrgid 0"), "root") << r.out;
    EXPECT_EQ(fact(r.out, "getpwnam no-such-user"), "not found") << r.out;
    EXPECT_EQ(left_in_temp(), std::vector<std::string>{});
}

INSTANTIATE_FOR_TARGETS(Debian11Root);

class NoLibcRoot : public RealRoot {
protected:
    void SetUp() override { enter("nolibc"); }
};

// The kernel finds no interpreter for a dynamically linked launcher: exec
// fails with ENOENT, as if the launcher itself were missing.
TEST_P(NoLibcRoot, PlainLauncherCannotStartForWantOfTheLoader)
{
    pack_probe(target(), *scratch);
    std::string launcher = inside + "/launcher";
    RunResult shell = in_root({"/bin/sh", "-c", "\"$1\" @version", "sh", launcher});
    RunResult exec = in_root({launcher, "@version"});
    EXPECT_EQ(shell.out, "");
    EXPECT_EQ(exec.out, "");
    if (target_runs_under_emulator(target())) {
        // The emulator opens the loader on its own behalf and says so.
        std::string loader = "/lib/ld-linux.so.2";
        EXPECT_NE(shell.exit_code, 0);
        EXPECT_NE(shell.err.find(loader), std::string::npos) << shell.err;
        EXPECT_NE(exec.exit_code, 0);
        EXPECT_NE(exec.err.find(loader), std::string::npos) << exec.err;
    } else {
        EXPECT_EQ(shell.exit_code, 127);
        EXPECT_EQ(shell.err, "sh: line 1: " + launcher + ": not found\n");
        EXPECT_EQ(exec.exit_code, 127);
        EXPECT_EQ(exec.err, "unshare: failed to execute " + launcher +
                                ": No such file or directory\n");
    }
    EXPECT_EQ(left_in_temp(), std::vector<std::string>{});
}

// With its C library packed, a launcher needs nothing of the root but the
// kernel: every mode works, and so does the program unpacked.
TEST_P(NoLibcRoot, LibcBundleRunsThereInEveryMode)
{
    std::string probe = fixture_path(target(), "libc_probe");
    bundle(*scratch / "libc-sfx", probe, true);
    std::string launcher = inside + "/libc-sfx";

    RunResult r = in_root({launcher, "x y"}, false);
    expect_libc_probe_facts(r, temp, false);
    EXPECT_EQ(fact(r.out, "arg"), "x y");
    EXPECT_EQ(in_root({launcher, "exit", "42"}).exit_code, 42);
    RunResult child = in_root({launcher, "child", "env | grep -E '^(TEMP|LD_|GCONV|LOCPATH)'"});
    EXPECT_EQ(child.out, "TEMP=" + temp + "\n");
    expect_packed_libraries_loaded(
        in_root({launcher, "dlopen", "libm.so.6", "libresolv.so.2", "libpthread.so.0"}), temp);

    RunResult list = in_root({launcher, "@list"});
    EXPECT_EQ(list.exit_code, 0) << list.err;
    RunOptions host;
    host.cwd = scratch->path;
    EXPECT_EQ(list.out, run_process({*scratch / "libc-sfx", "@list"}, host).out);
    EXPECT_EQ(left_in_temp(), std::vector<std::string>{});

    RunResult unpacked = in_root({launcher, "@unpack"});
    EXPECT_EQ(unpacked.exit_code, 0) << unpacked.err;
    RunResult direct = in_root({inside + "/libc_probe/libc_probe"});
    EXPECT_EQ(direct.exit_code, 0) << direct.err;
    EXPECT_EQ(fact(direct.out, "execfn"), inside + "/libc_probe/libc_probe");
}

// A real Debian 12 program with its C library, in both roots, against the
// host's own jq on the same input.
TEST(RealRootJq, JqWithItsCLibraryAnswersAsOnTheHostInBothRoots)
{
#ifdef SFX_SANITIZED
    GTEST_SKIP() << "nothing here is built with the sanitizers";
#endif
    if (geteuid() != 0)
        GTEST_SKIP() << "chroot needs root";
    const std::string input = "{\"a\":[1,2,3],\"b\":\"h\\u00e9\"}\n";
    RunResult host = run_process({"/bin/sh", "-c", "printf '%s' \"$1\" | /usr/bin/jq -c '[.a[]*2, .b]'",
                                  "sh", input});
    ASSERT_EQ(host.exit_code, 0) << host.err;
    for (const char *name : {"debian11", "nolibc"}) {
        SCOPED_TRACE(name);
        std::string root = test_root(name);
        ASSERT_EQ(test_root_missing(root), "");
        ScratchDir scratch(root + "/tmp");
        bundle(scratch / "jq-sfx", "/usr/bin/jq", true);
        write_text(scratch / "in.json", input);
        std::string inside = path_in_root(root, scratch.path);
        RootRunOptions options;
        options.env = {"TEMP=" + inside};
        RunResult add = run_in_root(root, {inside + "/jq-sfx", "-n", "[1,2]|add"}, options);
        EXPECT_EQ(add.exit_code, 0) << add.err;
        EXPECT_EQ(add.out, "3\n");
        RunResult filter = run_in_root(
            root, {inside + "/jq-sfx", "-c", "[.a[]*2, .b]", inside + "/in.json"}, options);
        EXPECT_EQ(filter.out, host.out) << filter.err;
        EXPECT_EQ(list_dir(scratch.path), (std::vector<std::string>{"in.json", "jq-sfx"}));
    }
}

INSTANTIATE_FOR_TARGETS(NoLibcRoot);

// The roots themselves, as the tests above take them to be.
class TestRoots : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *name : {"debian11", "nolibc"})
            ASSERT_EQ(test_root_missing(test_root(name)), "");
        if (geteuid() != 0)
            GTEST_SKIP() << "chroot needs root";
    }
};

TEST_F(TestRoots, Debian11HoldsOnlyGlibc231ForBothTargetsAndItsToolsRun)
{
    std::string root = test_root("debian11");
    RunResult found = run_in_root(root, {"/bin/sh", "-c", "find / -name libc.so.6"});
    EXPECT_EQ(found.exit_code, 0) << found.err;
    EXPECT_EQ(sorted_lines(found.out), (std::vector<std::string>{"/lib/i386-linux-gnu/libc.so.6",
                                                                 "/lib/x86_64-linux-gnu/libc.so.6"}));
    for (const char *libc : {"/lib/x86_64-linux-gnu/libc.so.6", "/lib/i386-linux-gnu/libc.so.6"}) {
        RunResult r = run_in_root(root, {libc});
        EXPECT_EQ(r.exit_code, 0) << libc << ": " << r.err;
        EXPECT_NE(r.out.find(" release version 2.31."), std::string::npos) << r.out;
    }
    RunResult jq = run_in_root(root, {"/usr/bin/jq", "-n", "[1,2]|add"});
    EXPECT_EQ(jq.exit_code, 0) << jq.err;
    EXPECT_EQ(jq.out, "3\n");
    struct stat st;
    ASSERT_EQ(stat((root + "/tmp").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);
}

TEST_F(TestRoots, NoLibcHoldsNoCLibraryNoLoaderAndNoLib)
{
    std::string root = test_root("nolibc");
    EXPECT_FALSE(file_exists(root + "/lib"));
    EXPECT_FALSE(file_exists(root + "/lib64"));
    RunResult found = run_in_root(
        root, {"/bin/sh", "-c", "find / -name 'libc.so*' -o -name 'ld-*.so*'; echo $?"});
    EXPECT_EQ(found.exit_code, 0) << found.err;
    EXPECT_EQ(found.out, "0\n");
    struct stat st;
    ASSERT_EQ(stat((root + "/tmp").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);
}

// What tests of programs that open /dev/null or a terminal run on: a /dev
// that only the namespace sees, the environment still exactly the one given.
TEST_F(TestRoots, PrivateDevServesNodesAndTerminalsAndLeavesNothingBehind)
{
    const std::string script =
        "echo x >/dev/null && head -c 4 /dev/urandom | wc -c && head -c 2 /dev/zero | od -An -tx1 &&"
        " exec 3<>/dev/ptmx && ls /dev/pts && ls /dev && test -r /proc/self/stat && echo proc";
    const std::string nodes = "fd\nfull\nnull\nptmx\npts\nrandom\ntty\nurandom\nzero\n";
    for (const char *name : {"debian11", "nolibc"}) {
        SCOPED_TRACE(name);
        std::string root = test_root(name);
        RootRunOptions options;
        // A PATH for inside the root, where unshare is not.
        options.env = {"ONLY=this", "PATH=/nowhere"};
        options.private_dev = true;
        options.mount_proc = true;
        RunResult r = run_in_root(root, {"/bin/sh", "-c", script}, options);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        // A devpts of its own: the first terminal opened there is its 0.
        EXPECT_EQ(r.out, "4\n 00 00\n0\nptmx\n" + nodes + "proc\n");
        options.mount_proc = false;
        RunResult env = run_in_root(root, {"/usr/bin/env"}, options);
        EXPECT_EQ(env.exit_code, 0) << env.err;
        EXPECT_EQ(env.out, "ONLY=this\nPATH=/nowhere\n");

        EXPECT_EQ(list_dir(root + "/dev"), std::vector<std::string>{});
        EXPECT_EQ(read_text("/proc/self/mountinfo").find(root), std::string::npos);
        RootRunOptions plain_options;
        plain_options.env = {"PATH=/nowhere"};
        RunResult plain = run_in_root(root, {"/bin/ls", "/dev"}, plain_options);
        EXPECT_EQ(plain.exit_code, 0) << plain.err;
        EXPECT_EQ(plain.out, "");
    }
}

}  // namespace
