// Launchers linked with --static-runtime: they need no loader and no
// libc.so.6, and whatever they print and whatever status they end with is
// what the dynamic launcher of the same payload prints and ends with.
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "elf_file.h"
#include "root_run.h"
#include "sfx.h"

namespace {

// Process ids and the launcher's own directory differ between the two.
std::string comparable(const std::string &text, const std::string &dir)
{
    static const std::regex pid("(-|pid |-> )[0-9]+");
    static const std::regex sigchld("(^|\n)SIGCHLD\n");
    std::string out = text;
    for (size_t at; (at = out.find(dir)) != std::string::npos;)
        out.replace(at, dir.size(), "DIR");  // first: the directory's own name may hold "-7"
    return without_emulator_notes(
        std::regex_replace(std::regex_replace(out, sigchld, "$1"), pid, "$1N"));
}

#ifndef SFX_SANITIZED
off_t file_size(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}
#endif

class StaticRuntime : public TargetTest {
protected:
    ScratchDir scratch;

    // The same files packed twice, into dynamic/NAME and static/NAME.
    void pack_both(const std::string &name, const std::vector<std::string> &files)
    {
        mkdir((scratch / "dynamic").c_str(), 0700);
        mkdir((scratch / "static").c_str(), 0700);
        pack(target(), scratch / "dynamic/" + name, files);
        std::vector<std::string> args = {"--static-runtime"};
        args.insert(args.end(), files.begin(), files.end());
        pack(target(), scratch / "static/" + name, args);
    }
    void expect_same(const std::string &name, const std::vector<std::string> &args,
                     const std::string &temp = "")
    {
        SCOPED_TRACE(args.empty() ? "(no arguments)" : args[0]);
        std::vector<RunResult> runs;
        for (const char *kind : {"dynamic", "static"}) {
            std::string dir = scratch / kind;
            RunOptions options;
            options.cwd = dir;
            runs.push_back(run_launcher(dir + "/" + name, args, temp.empty() ? dir : temp, options));
            runs.back().out = comparable(runs.back().out, dir);
            runs.back().err = comparable(runs.back().err, dir);
        }
        EXPECT_EQ(runs[1].exit_code, runs[0].exit_code) << runs[1].err;
        EXPECT_EQ(runs[1].term_signal, runs[0].term_signal);
        EXPECT_EQ(runs[1].out, runs[0].out);
        EXPECT_EQ(runs[1].err, runs[0].err);
    }
};

TEST_P(StaticRuntime, LauncherNeedsNoLoaderNorCLibraryAndCostsLessThanAMebibyte)
{
    pack_both("launcher", {fixture_path(target(), "probe"), fixture_path(target(), "libprobe.so")});
    ElfImage image;
    std::string error;
    ASSERT_EQ(image.load(scratch / "static/launcher", error), 0) << error;
    EXPECT_EQ(image.needed, std::vector<std::string>{});
    EXPECT_EQ(image.find(".interp"), nullptr);
    EXPECT_EQ(image.find(".dynamic"), nullptr);
    EXPECT_EQ(image.version_needs.size(), 0u);
#ifndef SFX_SANITIZED  // the sanitized dynamic runtime is the larger one
    off_t added = file_size(scratch / "static/launcher") - file_size(scratch / "dynamic/launcher");
    EXPECT_GT(added, 0);
    EXPECT_LT(added, 1 << 20);
#endif

    RunResult verified = run_sfxpack({"--verify", scratch / "static/launcher"});
    EXPECT_EQ(verified.exit_code, 0) << verified.out << verified.err;
}

TEST_P(StaticRuntime, EveryModeSaysAndEndsAsTheDynamicLauncher)
{
    pack_both("launcher", {fixture_path(target(), "probe"), fixture_path(target(), "libprobe.so")});
    expect_same("launcher", {"@version"});
    expect_same("launcher", {"@list"});
    expect_same("launcher", {"report", "two words", ""});
    expect_same("launcher", {"exit", "3"});
    expect_same("launcher", {"signal", "15"});
    expect_same("launcher", {"dispositions"});
    expect_same("launcher", {"@verbose", "exit", "5"});
    expect_same("launcher", {"@debug", "exit", "4"});
    expect_same("launcher", {"@unpack"});
    expect_same("launcher", {"@unpack"});  // the directory is there now
    expect_same("launcher", {"@list", "extra"});
    expect_same("launcher", {"report"}, scratch / "no-such-temp");
    for (const char *kind : {"dynamic", "static"})
        EXPECT_EQ(list_dir(scratch / kind), (std::vector<std::string>{"launcher", "probe"}))
            << kind << ": a work directory was left";

    // A payload whose program the kernel refuses.
    write_text(scratch / "notes", "not a program\n");
    pack_both("notes-sfx", {scratch / "notes"});
    expect_same("notes-sfx", {"x"});
}

// A payload that needs no C library, in a root that has none: the root's
// static shell runs a packed script.
TEST_P(StaticRuntime, RunsAPayloadThatNeedsNoCLibraryInARootWithout)
{
    std::string root = test_root("nolibc");
    ASSERT_EQ(test_root_missing(root), "");
    if (geteuid() != 0)
        GTEST_SKIP() << "chroot needs root";
    ScratchDir there(root + "/tmp");
    std::string inside = path_in_root(root, there.path);
    write_text(there / "greet", "#!/bin/sh\necho \"$0: $*\"\nexit \"$2\"\n");
    ASSERT_EQ(chmod((there / "greet").c_str(), 0755), 0);
    pack(target(), there / "greet-sfx", {"--static-runtime", there / "greet"});

    RootRunOptions options;
    options.env = {"TEMP=" + inside};
    RunResult r = run_in_root(root, {inside + "/greet-sfx", "hello", "7"}, options);
    EXPECT_EQ(r.exit_code, 7) << r.err;
    EXPECT_TRUE(std::regex_match(r.out, std::regex(inside + "/greet-[0-9]+/greet: hello 7\n")))
        << r.out;
    RunResult list = run_in_root(root, {inside + "/greet-sfx", "@list"}, options);
    EXPECT_EQ(list.exit_code, 0) << list.err;
    EXPECT_NE(list.out.find("greet"), std::string::npos) << list.out;
    EXPECT_EQ(list_dir(there.path), (std::vector<std::string>{"greet", "greet-sfx"}));
}

INSTANTIATE_FOR_TARGETS(StaticRuntime);

}  // namespace
