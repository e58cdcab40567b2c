// A whole application in a tree (fixtures/tree_app/), bundled as a user
// bundles one: the program, with its helper directory and its plugin
// directory brought in by --add. Every object of the tree gets its own
// libraries, found as the loader finds them for it, and with --libc every
// executable starts through the packed loader, however the program starts
// it; what the program starts from outside the tree keeps the C library and
// the environment of wherever it runs. Each line the application prints
// names the glibc that ran it, which is how these tests tell the packed
// loader from the root's.
#include <gnu/libc-version.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <regex>

#include "root_run.h"
#include "sfx.h"

namespace {

std::string other_target(const std::string &target)
{
    return target == "i386" ? "x86_64" : "i386";
}

// The application's lines before and after what its outside command prints.
const char helper_lines[] =
    "tree_helper by-path: libtreehelp 1.4, glibc G\n"
    "tree_helper by-PATH: libtreehelp 1.4, glibc G\n"
    "tree_link by-link: libtreehelp 1.4, glibc G\n"
    "tree_plugin: libtreeplug 2.5, glibc G\n";

std::string with_glibc(std::string text, const std::string &glibc)
{
    for (size_t at; (at = text.find("glibc G")) != std::string::npos;)
        text.replace(at + 6, 1, glibc);
    return text;
}

// Checks that every part of the application ran on glibc, and returns what
// the outside command printed.
std::string expect_every_part_ran(const RunResult &r, const std::string &glibc)
{
    EXPECT_EQ(r.exit_code, 7) << r.err << r.out;
    EXPECT_EQ(r.err, "");
    std::string head = with_glibc(helper_lines, glibc);
    std::string tail = "tree_app: 4 of 4 ran, glibc " + glibc + "\n";
    if (r.out.size() < head.size() + tail.size() || r.out.compare(0, head.size(), head) != 0 ||
        r.out.compare(r.out.size() - tail.size(), tail.size(), tail) != 0) {
        ADD_FAILURE() << "expected\n" << head << "...\n" << tail << "got\n" << r.out;
        return "";
    }
    return r.out.substr(head.size(), r.out.size() - head.size() - tail.size());
}

// The application as installed, for target.
std::string app_file(const std::string &target, const std::string &name)
{
    return fixture_path(target, "tree_app/" + name);
}

// The sfxpack arguments after -o that bundle the application, its helper
// directory and its plugins from lib.
std::vector<std::string> app_args(const std::string &target, bool libc,
                                  const std::string &lib)
{
    std::vector<std::string> args = {"--bundle", "-0", app_file(target, "tree_app"),
                                     "--add", app_file(target, "libexec") + "=libexec",
                                     "--add", lib + "=lib",
                                     "--env", "TREE_APP_HOME=$ORIGIN",
                                     "--env", "PATH=$ORIGIN/libexec/tree_app:${PATH}"};
    if (libc)
        args.insert(args.begin() + 1, "--libc");
    return args;
}

// The plan's line of one entry (-n, -v), or empty.
std::string plan_line(const std::string &plan, const std::string &name)
{
    std::string line;
    for (const std::string &l : split_lines(plan))
        if (l.rfind("entry ", 0) == 0 && (l.find(": " + name + " <- ") != std::string::npos ||
                                          l.find(": " + name + " -> ") != std::string::npos)) {
            EXPECT_EQ(line, "") << name << " is planned twice:\n" << plan;
            line = l;
        }
    return line;
}

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

class TreeApp : public TargetTest {
protected:
    std::string host_glibc = gnu_get_libc_version();

    std::string pack_app(const std::string &output, bool libc)
    {
        return pack(target(), output, app_args(target(), libc, app_file(target(), "lib")));
    }
};

// On the host, both ways, from the launcher, with the caller's environment
// and --env's two variables.
TEST_P(TreeApp, EveryPartRunsOnTheHostBundledWithAndWithoutItsCLibrary)
{
    ScratchDir scratch;
    ScratchDir temp;
    for (bool libc : {false, true}) {
        SCOPED_TRACE(libc ? "--libc" : "plain");
        std::string launcher = pack_app(scratch / (libc ? "libc-sfx" : "plain-sfx"), libc);
        RunOptions options;
        options.set_env = {"PATH=/usr/bin:/bin", "EXTRA=kept"};
        RunResult r = run_launcher(launcher, {"/usr/bin/env"}, temp.path, options);
        std::string env = expect_every_part_ran(r, host_glibc);
        std::smatch home;
        ASSERT_TRUE(std::regex_search(env, home, std::regex("(^|\n)TREE_APP_HOME=(" + temp.path +
                                                            "/tree_app-[0-9]+)\n")))
            << env;
        std::string path;
        for (const std::string &line : split_lines(env))
            if (line.rfind("PATH=", 0) == 0)
                path = line;
        EXPECT_EQ(path, "PATH=" + home[2].str() + "/libexec/tree_app:/usr/bin:/bin");
        EXPECT_TRUE(has(env, "EXTRA=kept\n")) << env;
        EXPECT_EQ(list_dir(temp.path), std::vector<std::string>{});
    }
}

// Each library once, with the object that needs it and where that object's
// own search path found it; nothing of either in the program's line.
TEST_P(TreeApp, PlanListsEachObjectsLibraryOnceWithWhoNeedsIt)
{
    ScratchDir scratch;
    for (bool libc : {false, true}) {
        SCOPED_TRACE(libc ? "--libc" : "plain");
        std::vector<std::string> args = {"-n", "-o", scratch / "x"};
        std::vector<std::string> app = app_args(target(), libc, app_file(target(), "lib"));
        args.insert(args.end(), app.begin(), app.end());
        RunResult r = run_sfxpack(args);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        std::string help = plan_line(r.out, "libtreehelp.so.1");
        std::string plug = plan_line(r.out, "libtreeplug.so.1");
        EXPECT_TRUE(has(help, "(needed by libexec/tree_app/tree_helper; found through RUNPATH "
                              "of libexec/tree_app/tree_helper;"))
            << r.out;
        EXPECT_TRUE(has(plug, "(needed by lib/tree_app/plugins/tree_plugin.so; found through "
                              "RPATH of lib/tree_app/plugins/tree_plugin.so;"))
            << r.out;
        EXPECT_TRUE(has(plan_line(r.out, "libexec/tree_app/tree_helper"),
                        "needs libtreehelp.so.1, libc.so.6;"))
            << r.out;
        EXPECT_TRUE(has(plan_line(r.out, "lib/tree_app/plugins/tree_plugin.so"),
                        "needs libtreeplug.so.1, libc.so.6;"))
            << r.out;
        EXPECT_FALSE(has(plan_line(r.out, "tree_app"), "libtree")) << r.out;
        EXPECT_TRUE(has(plan_line(r.out, "libexec/tree_app/tree_link"), "-> tree_helper"))
            << r.out;
    }
}

// Unpacked, the tree's objects look for their libraries in the tree alone:
// with them gone, the loader and dlopen say so, rather than take the copies
// from where they were built.
TEST_P(TreeApp, UnpackedTreeWithoutItsLibrariesFailsWithTheLoadersMessages)
{
    ScratchDir scratch;
    std::string launcher = pack_app(scratch / "plain-sfx", false);
    RunOptions in_scratch;
    in_scratch.cwd = scratch.path;
    RunResult unpacked = run_process({launcher, "@unpack"}, in_scratch);
    ASSERT_EQ(unpacked.exit_code, 0) << unpacked.err;
    std::string home = scratch / "tree_app";
    for (const char *library : {"libtreehelp.so.1", "libtreeplug.so.1"})
        ASSERT_EQ(unlink((home + "/" + library).c_str()), 0) << library;

    RunOptions options;
    options.set_env = {"TREE_APP_HOME=" + home,
                       "PATH=" + home + "/libexec/tree_app:/usr/bin:/bin"};
    RunResult r = run_process({home + "/tree_app"}, options);
    EXPECT_EQ(r.exit_code, 3);
    std::string missing = ": error while loading shared libraries: libtreehelp.so.1: cannot "
                          "open shared object file: No such file or directory\n";
    // The loader names a program as its argv[0].
    std::string helper = home + "/libexec/tree_app/tree_helper";
    std::string link = home + "/libexec/tree_app/tree_link";
    EXPECT_EQ(r.err, helper + missing + "tree_helper" + missing + link + missing);
    EXPECT_EQ(r.out, "tree_app: " + helper + " exited 127\ntree_app: tree_helper exited 127\n"
                     "tree_app: " + link + " exited 127\ntree_app: dlopen: libtreeplug.so.1: "
                     "cannot open shared object file: No such file or directory\n"
                     "tree_app: 0 of 4 ran, glibc " + host_glibc + "\n");
}

// A plugin of the other target and a file that only begins as ELF are
// packed as they are, each with a note; the pack goes on, and at run time
// dlopen says what is wrong with the plugin.
TEST_P(TreeApp, ForeignAndFakeObjectsArePackedAsTheyAreAndDlopenSaysWhy)
{
    ScratchDir scratch;
    make_dirs(scratch / "lib/tree_app/plugins");
    std::string foreign = fixture_path(other_target(target()),
                                       "tree_app/lib/tree_app/plugins/tree_plugin.so");
    write_text(scratch / "lib/tree_app/plugins/tree_plugin.so", read_text(foreign));
    write_text(scratch / "lib/tree_app/plugins/fake.so", "\x7f" "ELF, and then nothing of it\n");
    std::vector<std::string> args = {"-v", "-o", scratch / "launcher"};
    std::vector<std::string> app = app_args(target(), false, scratch / "lib");
    args.insert(args.end(), app.begin(), app.end());
    RunResult packed = run_sfxpack(args);
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    std::string notes = packed.out + packed.err;
    EXPECT_TRUE(has(notes, "lib/tree_app/plugins/fake.so (" + scratch.path +
                               "/lib/tree_app/plugins/fake.so) begins as an ELF file but is "
                               "not one ("))
        << notes;
    EXPECT_TRUE(std::regex_search(notes, std::regex("lib/tree_app/plugins/tree_plugin.so \\(" +
                                                    scratch.path +
                                                    "/lib/tree_app/plugins/tree_plugin.so\\) "
                                                    "is built for [^,]+, not for " + target())))
        << notes;
    EXPECT_EQ(plan_line(notes, "libtreeplug.so.1"), "") << "nothing of the foreign plugin's";

    ScratchDir temp;
    RunResult r = run_launcher(scratch / "launcher", {}, temp.path);
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.err, "");
    std::string wrong_class = target() == "i386" ? "ELFCLASS64" : "ELFCLASS32";
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex("\ntree_app: dlopen: " + temp.path +
                          "/tree_app-[0-9]+/lib/tree_app/plugins/tree_plugin.so: wrong ELF "
                          "class: " + wrong_class + "\ntree_app: 3 of 4 ran, glibc ")))
        << r.out;
}

// Inside the test roots: as a user's machine runs it, with a /dev of its
// own and nothing of the test's environment.
class TreeAppInRoot : public TreeApp {
protected:
    std::string root;
    std::unique_ptr<ScratchDir> scratch;
    std::string inside;  // scratch as the root names it
    std::string temp;    // TEMP, as the root names it

    void enter(const std::string &name)
    {
        root = test_root(name);
        ASSERT_EQ(test_root_missing(root), "");
        if (geteuid() != 0)
            GTEST_SKIP() << "chroot needs root";
        ASSERT_EQ(make_root_scratch(root, scratch, inside, temp), "");
    }
    RunResult in_root(const std::vector<std::string> &argv,
                      const std::vector<std::string> &env = {})
    {
        RootRunOptions options;
        options.env = env.empty() ? std::vector<std::string>{"TEMP=" + temp} : env;
        options.mount_proc = true;
        options.private_dev = true;
        options.cwd = inside;
        return run_in_root(root, argv, options);
    }
    // The environment that the outside command env printed holds TEMP and
    // --env's two variables, and nothing else.
    void expect_only_env_added(const std::string &env)
    {
        std::vector<std::string> lines = split_lines(env);
        std::sort(lines.begin(), lines.end());
        ASSERT_EQ(lines.size(), 3u) << env;
        std::smatch home;
        ASSERT_TRUE(std::regex_match(lines[2], home,
                                     std::regex("TREE_APP_HOME=(" + temp + "/tree_app-[0-9]+)")))
            << env;
        EXPECT_EQ(lines[0], "PATH=" + home[1].str() + "/libexec/tree_app:");
        EXPECT_EQ(lines[1], "TEMP=" + temp);
    }
    void expect_temp_empty() { EXPECT_EQ(list_dir(*scratch / "temp"), std::vector<std::string>{}); }
};

class TreeAppDebian11 : public TreeAppInRoot {
protected:
    void SetUp() override
    {
#ifdef SFX_SANITIZED
        GTEST_SKIP() << "the sanitizers' run-time code needs the glibc that built it";
#endif
        enter("debian11");
    }
};

// Bundled plainly, the helper and the plugin find their libraries in the
// tree and run on the root's glibc; with --libc every executable of the
// tree runs on the packed one, by path, through PATH and through a link,
// while jq, the root's own program, still runs on the root's glibc.
TEST_P(TreeAppDebian11, EveryPartRunsOnTheRootsGlibcOrOnThePackedOne)
{
    pack_app(*scratch / "plain-sfx", false);
    pack_app(*scratch / "libc-sfx", true);
    for (bool libc : {false, true}) {
        SCOPED_TRACE(libc ? "--libc" : "plain");
        std::string launcher = inside + (libc ? "/libc-sfx" : "/plain-sfx");
        std::string glibc = libc ? host_glibc : "2.31";
        expect_only_env_added(expect_every_part_ran(in_root({launcher, "/usr/bin/env"}), glibc));
        EXPECT_EQ(expect_every_part_ran(in_root({launcher, "/usr/bin/jq", "-n", "[1,2]|add"}),
                                        glibc),
                  "3\n");
        expect_temp_empty();
    }
}

INSTANTIATE_FOR_TARGETS(TreeAppDebian11);

class TreeAppNoLibc : public TreeAppInRoot {
protected:
    void SetUp() override { enter("nolibc"); }
};

// Nothing to run on but the packed glibc: every executable of the tree must
// start through the packed loader, or it does not start at all; so too in
// the tree that @unpack leaves, run without the launcher.
TEST_P(TreeAppNoLibc, EveryPartRunsOnThePackedGlibcFromTheLauncherAndUnpacked)
{
    pack_app(*scratch / "libc-sfx", true);
    std::string launcher = inside + "/libc-sfx";
    expect_only_env_added(expect_every_part_ran(in_root({launcher, "/usr/bin/env"}), host_glibc));
    expect_temp_empty();

    RunResult unpacked = in_root({launcher, "@unpack"});
    ASSERT_EQ(unpacked.exit_code, 0) << unpacked.err;
    std::string home = inside + "/tree_app";
    RunResult r = in_root({home + "/tree_app", "/bin/sh", "-c", "echo outside"},
                          {"TREE_APP_HOME=" + home, "PATH=" + home + "/libexec/tree_app"});
    EXPECT_EQ(expect_every_part_ran(r, host_glibc), "outside\n");
}

INSTANTIATE_FOR_TARGETS(TreeAppNoLibc);
INSTANTIATE_FOR_TARGETS(TreeApp);

}  // namespace
