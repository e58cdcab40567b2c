// sfxpack --bundle from outside: programs whose libraries only the packer is
// told where to find, laid out the ways the dynamic loader searches; Debian's
// own libraries hidden from the system at run time; and the refusals.
#include <elf.h>
#include <gnu/libc-version.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <regex>

#include "elf_file.h"
#include "sfx.h"

namespace {

std::string other_target(const std::string &target)
{
    return target == "i386" ? "x86_64" : "i386";
}

// The directory that the loader makes of program's one-element RUNPATH on
// this machine, as it says with LD_DEBUG=libs while it looks for a library
// that is not there: the last one it lists, after that directory's own
// hardware-capability subdirectories.
std::string runpath_as_searched(const std::string &program)
{
    RunOptions options;
    options.set_env = {"LD_DEBUG=libs"};
    options.unset_env = {"LD_LIBRARY_PATH", "LD_DEBUG_OUTPUT"};
    RunResult r = run_process({program}, options);
    for (const std::string &line : split_lines(r.err)) {
        size_t from = line.find("search path=");
        if (from == std::string::npos || line.find("(RUNPATH from file ") == std::string::npos)
            continue;
        from += 12;
        std::string list = line.substr(from, line.find('\t', from) - from);
        return list.substr(list.rfind(':') + 1);
    }
    ADD_FAILURE() << "the loader did not show its RUNPATH search:\n" << r.err;
    return "";
}

// The file the loader maps for name when it starts program here. It may be
// another than the one bundled: a glibc-hwcaps subdirectory for this
// processor (x86-64-v3, ...) comes first for the loader, while the packer
// takes what runs on any processor of the target.
std::string loaded_library(const std::string &program, const std::string &name)
{
    RunOptions options;
    options.set_env = {"LD_TRACE_LOADED_OBJECTS=1"};
    for (const std::string &line : split_lines(run_process({program}, options).out)) {
        size_t at = line.find(name + " => ");
        if (at == std::string::npos)
            continue;
        size_t from = at + name.size() + 4;
        return line.substr(from, line.find(" (", from) - from);
    }
    ADD_FAILURE() << program << " loads no " << name;
    return "";
}

// Runs a shell script in dir with $1 set to the target's bundle fixtures.
void shell(const std::string &target, const std::string &dir, const std::string &script)
{
    RunOptions options;
    options.cwd = dir;
    RunResult r = run_process({"sh", "-ec", script, "sh", fixture_path(target, "bundle")},
                              options);
    ASSERT_EQ(r.exit_code, 0) << script << "\n" << r.err;
}

// Every file of a directory tree with its bytes (a symlink with its target),
// to show that bundling reads its inputs and nothing more.
std::map<std::string, std::string> snapshot(const std::string &dir)
{
    std::map<std::string, std::string> files;
    for (const std::string &name : list_dir(dir)) {
        std::string path = dir + "/" + name;
        char link[4096];
        ssize_t n = readlink(path.c_str(), link, sizeof link);
        if (n >= 0) {
            files[name] = "-> " + std::string(link, (size_t)n);
        } else if (!list_dir(path).empty()) {
            for (const auto &f : snapshot(path))
                files[name + "/" + f.first] = f.second;
        } else {
            files[name] = read_text(path);
        }
    }
    return files;
}

std::vector<std::string> entry_names(const std::string &launcher)
{
    std::vector<std::string> names;
    for (const std::string &line : split_lines(run_process({launcher, "@list"}).out))
        names.push_back(line.substr(12));
    return names;
}

// The plan line of one entry, from --verbose or --dry-run output.
std::string plan_line(const std::string &out, const std::string &name)
{
    for (const std::string &line : split_lines(out))
        if (line.rfind("entry ", 0) == 0 && line.find(": " + name + " <- ") != std::string::npos)
            return line;
    return "";
}

// The file that the plan says an entry was taken from.
std::string plan_path(const std::string &out, const std::string &name)
{
    std::string line = plan_line(out, name);
    size_t from = line.find(" <- ");
    if (from == std::string::npos)
        return "";
    from += 4;
    return line.substr(from, line.find(" (", from) - from);
}

class Bundle : public TargetTest {
protected:
    ScratchDir scratch;
    std::string tmp;  // the packer's TMPDIR: must be empty after every run

    void SetUp() override
    {
        tmp = scratch / "tmp";
        shell(target(), scratch.path, "mkdir tmp");
    }

    RunResult bundle(const std::vector<std::string> &args,
                     const std::string &library_path = "")
    {
        std::vector<std::string> argv = {sfxpack_path(), "--bundle"};
        argv.insert(argv.end(), args.begin(), args.end());
        RunOptions options;
        options.set_env = {"TMPDIR=" + tmp};
        if (library_path.empty())
            options.unset_env = {"LD_LIBRARY_PATH"};
        else
            options.set_env.push_back("LD_LIBRARY_PATH=" + library_path);
        RunResult r = run_process(argv, options);
        EXPECT_EQ(list_dir(tmp), std::vector<std::string>{}) << "temporary files left";
        return r;
    }

    // Runs a launcher from / with no library path, so that it can only use
    // what it carries.
    RunResult launch(const std::string &launcher, const std::vector<std::string> &args)
    {
        RunOptions options;
        options.cwd = "/";
        options.unset_env = {"LD_LIBRARY_PATH"};
        return run_launcher(launcher, args, scratch.path, options);
    }

    // Unpacks a launcher and reads back each entry's run-time search path.
    std::map<std::string, std::string> unpacked_runpaths(const std::string &launcher)
    {
        std::map<std::string, std::string> runpaths;
        RunOptions here;
        here.cwd = scratch.path;
        EXPECT_EQ(run_process({launcher, "@unpack"}, here).exit_code, 0);
        std::string dir = scratch / entry_names(launcher).front();
        for (const std::string &name : list_dir(dir)) {
            ElfImage image;
            std::string error;
            EXPECT_EQ(image.load(dir + "/" + name, error), 0) << error;
            runpaths[name] = image.rpath.empty() ? image.runpath : "RPATH " + image.rpath;
            if (!image.rpath.empty() && !image.runpath.empty())
                runpaths[name] += " RUNPATH " + image.runpath;
        }
        remove_tree(dir);
        return runpaths;
    }
};

TEST_P(Bundle, ChainOfOwnLibrariesRunsFromAnywhereOnceTheOriginalsAreGone)
{
    std::string src = scratch / "src";
    shell(target(), scratch.path, "mkdir src && cp -a \"$1\"/. src/");
    std::map<std::string, std::string> before = snapshot(src);
    std::string launcher = scratch / "chain-sfx";

    RunResult dry = bundle({"--dry-run", src + "/chain"}, src);
    EXPECT_EQ(dry.exit_code, 0) << dry.err;
    EXPECT_FALSE(file_exists(launcher));
    EXPECT_EQ(plan_line(dry.out, "libbun_common.so.1"),
              "entry 3: libbun_common.so.1 <- " + src + "/libbun_common.so.1 (needed by "
              "libbun_a.so.1, libbun_b.so.1; found through LD_LIBRARY_PATH; run-time "
              "search path set to $ORIGIN)");
    EXPECT_NE(dry.out.find("system: libc.so.6 (needed by chain"), std::string::npos) << dry.out;

    RunResult packed = bundle({"-o", launcher, src + "/chain"}, src);
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    EXPECT_EQ(packed.out, "");
    EXPECT_TRUE(snapshot(src) == before) << "the inputs were modified";
    remove_tree(src);

    // Each library under the name the loader asks for, not the file's own.
    EXPECT_EQ(entry_names(launcher),
              (std::vector<std::string>{"chain", "libbun_a.so.1", "libbun_b.so.1",
                                        "libbun_common.so.1"}));
    RunResult ran = launch(launcher, {"x", "y z", "@list-not"});
    EXPECT_EQ(ran.out, "chain 13\narg x\narg y z\narg @list-not\n") << ran.err;
    EXPECT_EQ(ran.exit_code, 3);
    for (const auto &r : unpacked_runpaths(launcher))
        EXPECT_EQ(r.second, "RPATH $ORIGIN") << r.first;
}

TEST_P(Bundle, IncludedPluginBringsItsOwnLibrariesAndDataComesAsItIs)
{
    std::string dir = fixture_path(target(), "bundle");
    write_text(scratch / "table.dat", pseudo_random_bytes(3000, 5));
    std::string launcher = scratch / "chain-sfx";
    RunResult packed = bundle({"-v", "-o", launcher, "--include", dir + "/libbun_plugin.so",
                               "--include", scratch / "table.dat", dir + "/chain"},
                              dir);
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    EXPECT_NE(plan_line(packed.out, "libbun_extra.so.1").find("(needed by libbun_plugin.so;"),
              std::string::npos) << packed.out;
    EXPECT_EQ(plan_line(packed.out, "table.dat"),
              "entry 6: table.dat <- " + scratch / "table.dat" + " (--include)");
    EXPECT_EQ(entry_names(launcher),
              (std::vector<std::string>{"chain", "libbun_a.so.1", "libbun_b.so.1",
                                        "libbun_common.so.1", "libbun_extra.so.1",
                                        "libbun_plugin.so", "table.dat"}));
    RunResult ran = launch(launcher, {"plugin"});
    EXPECT_EQ(ran.out, "chain 13\nplugin 202\n") << ran.err;
    EXPECT_EQ(ran.exit_code, 0);

    RunOptions here;
    here.cwd = scratch.path;
    ASSERT_EQ(run_process({launcher, "@unpack"}, here).exit_code, 0);
    EXPECT_EQ(read_text(scratch / "chain/table.dat"), read_text(scratch / "table.dat"));
}

TEST_P(Bundle, ExcludedLibraryIsLeftToTheSystem)
{
    std::string dir = fixture_path(target(), "bundle");
    std::string launcher = scratch / "chain-sfx";
    RunResult packed = bundle({"--verbose", "--exclude", "libbun_comm*", "-o", launcher,
                               dir + "/chain"},
                              dir);
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    EXPECT_NE(packed.out.find("system: libbun_common.so.1 (needed by libbun_a.so.1, "
                              "libbun_b.so.1; --exclude libbun_comm*)\n"),
              std::string::npos) << packed.out;
    EXPECT_EQ(entry_names(launcher),
              (std::vector<std::string>{"chain", "libbun_a.so.1", "libbun_b.so.1"}));

    RunOptions with_system;
    with_system.set_env = {"LD_LIBRARY_PATH=" + dir};
    RunResult ran = run_launcher(launcher, {}, scratch.path, with_system);
    EXPECT_EQ(ran.out, "chain 13\n") << ran.err;
    RunResult without = launch(launcher, {});
    EXPECT_NE(without.err.find("libbun_common.so.1"), std::string::npos) << without.err;
    EXPECT_NE(without.exit_code, 0);
}

// An old-style RPATH of the program also serves its libraries' needs; the
// program itself runs from that layout, so the loader agrees with the plan.
TEST_P(Bundle, ProgramRpathServesItsLibrariesToo)
{
    shell(target(), scratch.path,
          "mkdir -p app/bin app/lib && cp \"$1\"/chain app/bin/ && cp -a \"$1\"/libbun_* app/lib/"
          " && patchelf --force-rpath --set-rpath '$ORIGIN/../lib' app/bin/chain"
          " && ./app/bin/chain >/dev/null");
    std::string launcher = scratch / "chain-sfx";
    RunResult packed = bundle({"-v", "-o", launcher, scratch / "app/bin/chain"});
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    for (const char *lib : {"libbun_a.so.1", "libbun_b.so.1", "libbun_common.so.1"})
        EXPECT_NE(plan_line(packed.out, lib).find("found through RPATH of chain;"),
                  std::string::npos) << packed.out;
    remove_tree(scratch / "app");
    EXPECT_EQ(launch(launcher, {}).out, "chain 13\n");
    for (const auto &r : unpacked_runpaths(launcher))
        EXPECT_EQ(r.second, "RPATH $ORIGIN") << r.first;
}

// A RUNPATH serves only its own object's needs; $ORIGIN, $PLATFORM and $LIB
// (braced or not) expand as the loader expands them. A RUNPATH that already
// begins with $ORIGIN becomes an RPATH with the same directories.
TEST_P(Bundle, RunpathTokensExpandAsForTheLoader)
{
    shell(target(), scratch.path,
          "mkdir app && cp \"$1\"/chain app/"
          " && patchelf --set-rpath '${ORIGIN}/$PLATFORM/${LIB}' app/chain");
    // What $PLATFORM and $LIB become depends on the processor and the C
    // library ("haswell" on some, "x86_64" on others): ask this loader.
    std::string libdir = runpath_as_searched(scratch / "app/chain");
    ASSERT_EQ(libdir.rfind(scratch / "app/", 0), 0u) << libdir;
    shell(target(), scratch.path,
          "mkdir -p " + libdir + " && cp -a \"$1\"/libbun_* " + libdir +
              " && patchelf --set-rpath '$ORIGIN' " + libdir + "/libbun_a.so.1.2.3"
              " && patchelf --set-rpath '$ORIGIN/:/nowhere' " + libdir + "/libbun_b.so.1.2.3"
              " && ./app/chain >/dev/null");
    std::string launcher = scratch / "chain-sfx";
    RunResult packed = bundle({"-v", "-o", launcher, scratch / "app/chain"});
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    EXPECT_EQ(plan_path(packed.out, "libbun_a.so.1"), libdir + "/libbun_a.so.1");
    EXPECT_NE(plan_line(packed.out, "libbun_a.so.1")
                  .find("found through RUNPATH of chain; its RUNPATH, which begins with "
                        "$ORIGIN, made an RPATH)"),
              std::string::npos) << packed.out;
    EXPECT_NE(plan_line(packed.out, "libbun_b.so.1")
                  .find("found through RUNPATH of libbun_a.so.1; its RUNPATH, which begins with "
                        "$ORIGIN, made an RPATH; left out of its search path, as outside the work "
                        "directory: /nowhere)"),
              std::string::npos) << packed.out;
    EXPECT_NE(plan_line(packed.out, "libbun_common.so.1")
                  .find("found through RUNPATH of libbun_a.so.1; run-time search path set"),
              std::string::npos) << packed.out;

    remove_tree(scratch / "app");
    EXPECT_EQ(launch(launcher, {}).out, "chain 13\n");
    std::map<std::string, std::string> runpaths = unpacked_runpaths(launcher);
    EXPECT_EQ(runpaths["chain"], "RPATH $ORIGIN");
    EXPECT_EQ(runpaths["libbun_a.so.1"], "RPATH $ORIGIN");
    EXPECT_EQ(runpaths["libbun_b.so.1"], "RPATH $ORIGIN/");
    EXPECT_EQ(runpaths["libbun_common.so.1"], "RPATH $ORIGIN");
}

// Directories of a search path outside the work directory would serve
// whatever another user put there ($ORIGIN/../lib is $TEMP/lib in the work
// directory; an absolute directory; a relative one, taken from the current
// directory): they are left out of the copies, with a note in the plan, and
// a plugin planted in each is not loaded.
TEST_P(Bundle, SearchPathLeadingOutOfTheWorkDirectoryIsLeftOut)
{
    std::string planted = scratch / "planted";
    shell(target(), scratch.path,
          "mkdir app lib planted && cp \"$1\"/chain app/"
          " && cp -a \"$1\"/libbun_a.so* \"$1\"/libbun_b.so* \"$1\"/libbun_common.so* app/"
          " && cp \"$1\"/libbun_plugin.so lib/ && cp -a \"$1\"/libbun_extra.so* lib/"
          " && patchelf --set-rpath '$ORIGIN' lib/libbun_plugin.so && cp -a lib/. planted/"
          " && patchelf --set-rpath '$ORIGIN:$ORIGIN/../lib:" + planted + "::lib:${ORIGIN}/x/..:$ORIGINAL' app/chain"
          " && patchelf --force-rpath --set-rpath '$ORIGIN:$ORIGIN/$LIB:/nowhere' app/libbun_a.so.1.2.3"
          " && ./app/chain plugin >/dev/null");
    std::string launcher = scratch / "chain-sfx";
    RunResult packed = bundle({"-v", "-o", launcher, scratch / "app/chain"});
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    EXPECT_NE(plan_line(packed.out, "chain")
                  .find("its RUNPATH, which begins with $ORIGIN, made an RPATH; left out of its "
                        "search path, as outside the work directory: $ORIGIN/../lib, " + planted +
                        ", an empty one (the current directory), lib, ${ORIGIN}/x/.., $ORIGINAL)"),
              std::string::npos) << packed.out;
    EXPECT_NE(plan_line(packed.out, "libbun_a.so.1")
                  .find("its RPATH begins with $ORIGIN; left out of its search path, as outside "
                        "the work directory: /nowhere)"),
              std::string::npos) << packed.out;

    remove_tree(scratch / "app");
    RunResult ran = launch(launcher, {"plugin"});
    EXPECT_EQ(ran.exit_code, 2) << ran.out;
    EXPECT_EQ(ran.out.rfind("chain 13\nno plugin: libbun_plugin.so: cannot open shared object file", 0),
              0u) << ran.out;
    std::map<std::string, std::string> runpaths = unpacked_runpaths(launcher);
    EXPECT_EQ(runpaths["chain"], "RPATH $ORIGIN");
    EXPECT_EQ(runpaths["libbun_a.so.1"], "RPATH $ORIGIN:$ORIGIN/$LIB");
}

// The loader maps one file once, by whichever names it is asked for: a
// library without a soname that two objects need under two symlinks' names
// is packed once, under the name asked for first, and the other object's
// copy asks for that name. Its constructor runs once, as without the bundle.
TEST_P(Bundle, LibraryNeededUnderTwoNamesIsPackedAndLoadedOnce)
{
    shell(target(), scratch.path,
          "mkdir app && cp \"$1\"/chain app/"
          " && cp -a \"$1\"/libbun_a.so* \"$1\"/libbun_b.so* \"$1\"/libbun_common.so* app/"
          " && cp \"$1\"/libbun_twice.so app/libbun_twice.so.1.0"
          " && ln -s libbun_twice.so.1.0 app/libbun_twice.so.1"
          " && ln -s libbun_twice.so.1.0 app/libbun_twice.so"
          " && patchelf --add-needed libbun_twice.so.1 app/libbun_a.so.1.2.3"
          " && patchelf --add-needed libbun_twice.so app/libbun_b.so.1.2.3"
          " && LD_LIBRARY_PATH=app ./app/chain > unbundled");
    EXPECT_EQ(read_text(scratch / "unbundled"), "bun_twice loaded\nchain 13\n");
    std::string launcher = scratch / "chain-sfx";
    RunResult packed = bundle({"-v", "-o", launcher, scratch / "app/chain"}, scratch / "app");
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    EXPECT_EQ(entry_names(launcher),
              (std::vector<std::string>{"chain", "libbun_a.so.1", "libbun_b.so.1",
                                        "libbun_common.so.1", "libbun_twice.so.1"}));
    EXPECT_NE(plan_line(packed.out, "libbun_twice.so.1").find("needed by libbun_a.so.1, libbun_b.so.1;"),
              std::string::npos) << packed.out;
    EXPECT_NE(plan_line(packed.out, "libbun_b.so.1")
                  .find("; needs libbun_twice.so.1 for libbun_twice.so, the same file)"),
              std::string::npos) << packed.out;

    remove_tree(scratch / "app");
    RunResult ran = launch(launcher, {});
    EXPECT_EQ(ran.exit_code, 0) << ran.err;
    EXPECT_EQ(ran.out, "bun_twice loaded\nchain 13\n");
}

// Where the i386 loader cannot run, the packer cannot learn $PLATFORM and
// $LIB from it: it says so, once, and takes the usual i686 and lib32. (The
// x86_64 loader cannot be hidden from the packer: it runs the packer.)
TEST(BundleLoaderTokens, I386LoaderThatCannotRunIsReportedAndTheUsualValuesTaken)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "hiding a file behind a bind mount needs root";
    ScratchDir scratch;
    shell("i386", scratch.path,
          "mkdir -p app/i686/lib32 && cp \"$1\"/chain app/ && cp -a \"$1\"/libbun_* app/i686/lib32"
          " && patchelf --set-rpath '$ORIGIN/$PLATFORM/$LIB' app/chain"
          " && patchelf --set-rpath '$ORIGIN/../../$PLATFORM/$LIB' app/i686/lib32/libbun_a.so.1");
    RunResult r = run_process(
        {"unshare", "-m", "sh", "-c", "mount --bind /dev/null /lib/ld-linux.so.2 || exit 90; exec \"$@\"",
         "sh", sfxpack_path(), "--bundle", "-n", scratch / "app/chain"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> lines = split_lines(r.err);
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_EQ(lines[0].rfind("sfxpack: warning: the i386 loader /lib/ld-linux.so.2 could not be "
                             "asked what $PLATFORM and $LIB stand for (cannot run it: ", 0), 0u)
        << lines[0];
    EXPECT_NE(lines[0].find("); taking i686 and lib32"), std::string::npos) << lines[0];
    EXPECT_EQ(plan_path(r.out, "libbun_a.so.1"), scratch / "app/i686/lib32/libbun_a.so.1");
}

// LD_LIBRARY_PATH, which the loader searches before any DT_RUNPATH, cannot
// swap a bundled library for a decoy of the same soname: the copies find each
// other through DT_RPATH. A library whose DT_RPATH already begins with
// $ORIGIN is packed byte for byte.
TEST_P(Bundle, DecoyFirstInLibraryPathDoesNotReplaceABundledLibrary)
{
    std::string dir = fixture_path(target(), "bundle");
    shell(target(), scratch.path,
          "mkdir app && cp \"$1\"/chain app/ && cp -a \"$1\"/libbun_* app/"
          " && patchelf --set-rpath '$ORIGIN' app/libbun_a.so.1.2.3"
          " && patchelf --force-rpath --set-rpath '$ORIGIN' app/libbun_b.so.1.2.3");
    std::string launcher = scratch / "chain-sfx";
    RunResult packed = bundle({"-v", "-o", launcher, scratch / "app/chain"}, scratch / "app");
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    EXPECT_NE(plan_line(packed.out, "libbun_b.so.1").find("already begins with $ORIGIN)"),
              std::string::npos) << packed.out;

    RunOptions decoy;
    decoy.cwd = "/";
    decoy.set_env = {"LD_LIBRARY_PATH=" + dir + "/decoy:" + dir};
    EXPECT_EQ(run_process({dir + "/chain"}, decoy).out, "chain 21\n") << "the decoy is not one";
    RunResult ran = run_launcher(launcher, {}, scratch.path, decoy);
    EXPECT_EQ(ran.out, "chain 13\n") << ran.err;
    EXPECT_EQ(ran.exit_code, 0);

    std::string original_b = read_text(scratch / "app/libbun_b.so.1.2.3");
    for (const auto &r : unpacked_runpaths(launcher))
        EXPECT_EQ(r.second, "RPATH $ORIGIN") << r.first;
    RunOptions here;
    here.cwd = scratch.path;
    ASSERT_EQ(run_process({launcher, "@unpack"}, here).exit_code, 0);
    EXPECT_TRUE(read_text(scratch / "chain/libbun_b.so.1") == original_b);
}

// The loader passes over a library of the other architecture and goes on
// searching; so does the packer.
TEST_P(Bundle, LibraryOfTheOtherArchitectureIsPassedOver)
{
    std::string mine = fixture_path(target(), "bundle");
    std::string other = fixture_path(other_target(target()), "bundle");
    RunResult dry = bundle({"-n", mine + "/chain"}, other + ":" + mine);
    ASSERT_EQ(dry.exit_code, 0) << dry.err;
    for (const char *lib : {"libbun_a.so.1", "libbun_b.so.1", "libbun_common.so.1"})
        EXPECT_EQ(plan_path(dry.out, lib), mine + "/" + lib);
}

// Debian's zlib, found through the loader cache, is bundled; at run time the
// system's copy is hidden by a bind mount in a private mount namespace, so
// only the bundled copy can serve.
TEST_P(Bundle, BundledDebianLibraryIsTheOneLoaded)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "hiding a file behind a bind mount needs root";
    std::string program = fixture_path(target(), "bundle/zprobe");
    std::string launcher = scratch / "zprobe-sfx";
    RunResult packed = bundle({"-v", "-o", launcher, program});
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    EXPECT_NE(plan_line(packed.out, "libz.so.1").find("found through the loader cache"),
              std::string::npos) << packed.out;
    std::string system_zlib = plan_path(packed.out, "libz.so.1");
    ASSERT_NE(system_zlib, "");
    EXPECT_EQ(entry_names(launcher), (std::vector<std::string>{"zprobe", "libz.so.1"}));

    RunOptions options;
    options.set_env = {"TEMP=" + scratch.path};
    RunResult ran = run_process(
        {"unshare", "-m", "sh", "-c",
         std::string("mount --bind /dev/null \"$1\" && mount --bind /dev/null \"$4\" || exit 90; ") +
             "if \"$2\" >/dev/null 2>&1; then exit 91; fi; exec \"$3\"",
         "sh", system_zlib, program, launcher, loaded_library(program, "libz.so.1")},
        options);
    EXPECT_EQ(ran.exit_code, 0) << ran.err;
    EXPECT_NE(ran.out.find("round trip ok"), std::string::npos) << ran.out;
    EXPECT_EQ(list_dir(scratch.path),
              (std::vector<std::string>{"tmp", "zprobe-sfx"}));
}

// Every refusal: one line, a defined status, no OUTPUT and no temporary file.
TEST_P(Bundle, RefusalsSayWhyAndLeaveNothing)
{
    std::string dir = fixture_path(target(), "bundle");
    write_text(scratch / "script", "#!/bin/sh\necho hi\n");
    chmod((scratch / "script").c_str(), 0755);
    std::string foreign = read_text(dir + "/chain");
    foreign[18] = (char)EM_AARCH64;
    foreign[19] = 0;
    write_text(scratch / "foreign", foreign);

    struct Case {
        std::vector<std::string> args;
        std::string library_path;
        int status;
        std::string message;
    };
    std::string other = other_target(target());
    std::vector<Case> cases = {
        {{"--target", other, dir + "/chain"}, dir, 2,
         dir + "/chain is an " + target() + " program, but --target " + other + " was given"},
        {{scratch / "script"}, "", 1, "script: not an ELF file"},
        {{dir + "/static"}, "", 1, "static is not a dynamically linked program"},
        {{dir + "/libbun_common.so.1"}, "", 1, "not a dynamically linked program"},
        {{scratch / "foreign"}, "", 1, "foreign is built for AArch64"},
        {{dir + "/chain"}, "", 1,
         "library libbun_a.so.1 not found; chain (" + dir + "/chain) needs it"},
        {{dir + "/chain", dir + "/zprobe"}, "", 2, "--bundle takes one PROGRAM"},
        {{"--stored", dir + "/chain"}, "", 2, "--stored cannot be used with --bundle"},
        {{scratch / "nothing"}, "", 1, "nothing: No such file or directory"},
        {{"--include", scratch / "absent", dir + "/chain"}, dir, 1,
         "absent: No such file or directory"},
    };
    std::vector<std::string> before = list_dir(scratch.path);
    for (const Case &c : cases) {
        std::vector<std::string> args = {"-o", scratch / "out"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = bundle(args, c.library_path);
        SCOPED_TRACE(c.message);
        EXPECT_EQ(r.exit_code, c.status);
        EXPECT_EQ(r.err.rfind("sfxpack: ", 0), 0u) << r.err;
        EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
        EXPECT_NE(r.err.substr(0, r.err.find('\n')).find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(list_dir(scratch.path), before);
    }
}

// With --libc glibc travels too: the program starts from its own file
// through the packed loader, which the launcher points at the work
// directory, and it sees itself as started directly, in an environment
// nobody added to. Where it runs is the kernel's business only.
TEST_P(Bundle, WithLibcTheCLibraryTravelsAndTheProgramStartsFromItsOwnFile)
{
    std::string dir = fixture_path(target(), "bundle");
    std::string loader = target() == "x86_64" ? "ld-linux-x86-64.so.2" : "ld-linux.so.2";
    RunResult dry = bundle({"--libc", "--dry-run", "--max-glibc", "2.2", dir + "/chain"}, dir);
    ASSERT_EQ(dry.exit_code, 0) << dry.err;
    EXPECT_NE(plan_line(dry.out, "libc.so.6").find("; the C library's, packed as it is (--libc)"),
              std::string::npos) << dry.out;
    EXPECT_NE(plan_line(dry.out, loader).find("(the program's loader, needed by "),
              std::string::npos) << dry.out;
    EXPECT_NE(plan_line(dry.out, "chain").find("started through the packed loader"),
              std::string::npos) << dry.out;
    EXPECT_EQ(dry.out.find("system: "), std::string::npos) << dry.out;
    EXPECT_NE(dry.out.find(std::string("\nruns on Linux 3.2 or newer, with or without a C "
                                       "library: glibc ") + gnu_get_libc_version() +
                           " travels with it\n"),
              std::string::npos) << dry.out;

    std::string launcher = scratch / "probe-sfx";
    std::string probe = fixture_path(target(), "probe");
    ASSERT_EQ(bundle({"--libc", "-o", launcher, probe}).exit_code, 0);
    RunResult plain = bundle({"-o", scratch / "plain-sfx", probe});
    ASSERT_EQ(plain.exit_code, 0) << plain.err;
    RunResult ran = launch(launcher, {"report", "x"});
    EXPECT_EQ(ran.exit_code, 0) << ran.err;
    std::smatch exe;
    std::string out = ran.out;
    ASSERT_TRUE(std::regex_search(out, exe, std::regex("\nexe=(" + scratch.path +
                                                      "/probe-[0-9]+)/probe\n")))
        << ran.out;
    EXPECT_NE(ran.out.find("argv[0]=probe\nargv[1]=report\nargv[2]=x\n"), std::string::npos);
    EXPECT_EQ(launch(launcher, {"env"}).out, launch(scratch / "plain-sfx", {"env"}).out);
    EXPECT_EQ(launch(launcher, {"exit", "7"}).exit_code, 7);
    EXPECT_EQ(list_dir(scratch.path), (std::vector<std::string>{"plain-sfx", "probe-sfx", "tmp"}))
        << "a work directory was left";

    // Unpacked, it runs from where it was unpacked to.
    RunOptions here;
    here.cwd = scratch.path;
    ASSERT_EQ(run_process({launcher, "@unpack"}, here).exit_code, 0);
    RunResult unpacked = run_process({scratch / "probe/probe", "report"}, here);
    EXPECT_NE(unpacked.out.find("\nexe=" + scratch.path + "/probe/probe\n"), std::string::npos)
        << unpacked.out << unpacked.err;

    RunResult refused = run_process({sfxpack_path(), "--libc", "-o", scratch / "out", probe});
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_EQ(refused.err, "sfxpack: --libc needs --bundle (see sfxpack --help)\n");
}

// With --libc the packed glibc's libraries that are loaded by name at run
// time come too, from libc.so.6's directory, each saying why; memusage's and
// pcprofile's preload libraries do not. Those that no object needs are left
// out, with a note, where they would take the bundle past the entries a
// launcher unpacks; what something needs stays, and the pack goes on.
TEST_P(Bundle, WithLibcTheLibrariesLoadedByNameComeWhileTheyFit)
{
    std::string probe = fixture_path(target(), "libc_probe");
    RunResult dry = bundle({"--libc", "-n", probe});
    ASSERT_EQ(dry.exit_code, 0) << dry.err;
    std::string libc = plan_path(dry.out, "libc.so.6");
    std::string dir = libc.substr(0, libc.rfind('/'));
    ASSERT_FALSE(dir.empty()) << dry.out;
    const std::string dlopen = "for the program to dlopen";
    const std::string nss = "for the name service switch (nsswitch.conf)";
    const std::vector<std::pair<std::string, std::string>> expected = {
        // x86_64's libmvec needs libm.
        {"libm.so.6", dlopen + (target() == "x86_64" ? ", needed by libmvec.so.1" : "")},
        {"libresolv.so.2", dlopen + ", needed by libnss_hesiod.so.2"},
        {"libpthread.so.0", dlopen},
        {"libdl.so.2", dlopen},
        {"librt.so.1", dlopen},
        {"libutil.so.1", dlopen},
        {"libanl.so.1", dlopen},
        {"libBrokenLocale.so.1", dlopen},
        {"libnss_files.so.2", nss},
        {"libnss_dns.so.2", nss},
        {"libnss_compat.so.2", nss},
        {"libnss_hesiod.so.2", nss},
        {"libc_malloc_debug.so.0", "for LD_PRELOAD (mtrace, mcheck)"},
        {"libthread_db.so.1", "for a debugger, which looks for it beside the program's libc.so.6"},
    };
    for (const auto &e : expected) {
        std::string line = plan_line(dry.out, e.first);
        EXPECT_NE(line.find(": " + e.first + " <- " + dir + "/" + e.first + " (" + e.second +
                            "; found through libc.so.6's directory; the C library's, packed as "
                            "it is (--libc))"),
                  std::string::npos)
            << e.first << ":\n" << dry.out;
    }
    // libmvec is x86_64's only.
    EXPECT_EQ(plan_line(dry.out, "libmvec.so.1").empty(), target() != "x86_64") << dry.out;
    for (const char *name : {"libmemusage.so", "libpcprofile.so"})
        EXPECT_EQ(plan_line(dry.out, name), "") << dry.out;
    EXPECT_EQ(dry.out.find("note: "), std::string::npos) << dry.out;
    EXPECT_EQ(dry.out.find("system: "), std::string::npos) << dry.out;

    // An --exclude'd one stays out; without --libc none comes.
    RunResult excluded = bundle({"--libc", "-n", "--exclude", "libnss_*", probe});
    ASSERT_EQ(excluded.exit_code, 0) << excluded.err;
    EXPECT_EQ(excluded.out.find("libnss_"), std::string::npos) << excluded.out;
    EXPECT_NE(plan_line(excluded.out, "libresolv.so.2").find("(" + dlopen + ";"),
              std::string::npos) << excluded.out;
    RunResult plain = bundle({"-n", probe});
    ASSERT_EQ(plain.exit_code, 0) << plain.err;
    EXPECT_EQ(plain.out.find("entry 1: "), std::string::npos) << plain.out;

    // The program, libc.so.6, its loader, an included NSS module and the
    // libresolv.so.2 it needs, and 27 files: 32 entries, with no room left.
    std::vector<std::string> args = {"--libc", "-v", "-o", scratch / "full-sfx",
                                     "--include", dir + "/libnss_hesiod.so.2"};
    for (int i = 0; i < 27; i++) {
        write_text(scratch / ("d" + std::to_string(i)), std::to_string(i));
        args.push_back("--include");
        args.push_back(scratch / ("d" + std::to_string(i)));
    }
    args.push_back(probe);
    RunResult full = bundle(args);
    ASSERT_EQ(full.exit_code, 0) << full.err;
    EXPECT_EQ(full.err, "");
    EXPECT_NE(plan_line(full.out, "libresolv.so.2").find("(needed by libnss_hesiod.so.2;"),
              std::string::npos) << full.out;
    std::string note;
    for (const std::string &line : split_lines(full.out))
        if (line.rfind("note: ", 0) == 0)
            note += line;
    EXPECT_NE(note.find("note: --libc left out libm.so.6, "), std::string::npos) << full.out;
    EXPECT_NE(note.find(", libthread_db.so.1, which no object needs: with them the bundle "
                        "would have "),
              std::string::npos) << full.out;
    EXPECT_NE(note.find(" entries, more than the 32 a launcher unpacks; loaded by name, they "
                        "are the host's, if it has them"),
              std::string::npos) << full.out;
    EXPECT_EQ(note.find("libresolv"), std::string::npos) << note;
    EXPECT_NE(full.out.find("\n32 entries for " + target() + ", 0 libraries left to the "
                            "system\n"),
              std::string::npos) << full.out;
    std::vector<std::string> names = entry_names(scratch / "full-sfx");
    EXPECT_EQ(names.size(), 32u);
    EXPECT_EQ(std::count(names.begin(), names.end(), "libm.so.6"), 0);
    RunResult ran = launch(scratch / "full-sfx", {"exit", "5"});
    EXPECT_EQ(ran.exit_code, 5) << ran.err;
}

// patchelf grows a non-PIE program's string table into segments it adds in
// front of the program; the room for the library directory may then run
// from one into the next.
TEST_P(Bundle, WithLibcANonPieProgramWithALargeStringTableRuns)
{
    std::string program = fixture_path(target(), "many_names");
    ASSERT_EQ(bundle({"--libc", "-o", scratch / "names-sfx", program}).exit_code, 0);
    RunResult r = launch(scratch / "names-sfx", {});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "90 names\n");
}

// A TEMP as long as it gets. The room the program's copy keeps for the work
// directory's path takes one of 4,000 bytes; one too long for it stops the
// run with one line, leaving nothing.
TEST_P(Bundle, WithLibcAWorkDirectoryOf4000BytesWorksAndALongerOneStopsCleanly)
{
    std::string launcher = scratch / "probe-sfx";
    ASSERT_EQ(bundle({"--libc", "-o", launcher, fixture_path(target(), "probe")}).exit_code, 0);
    auto long_dir = [&](const std::string &top, size_t length) {
        std::string dir = scratch / top;
        while (dir.size() + 201 <= length)
            dir += "/" + std::string(200, 'd');
        dir += "/" + std::string(length - dir.size() - 1, 'e');
        EXPECT_EQ(run_process({"mkdir", "-p", dir}).exit_code, 0);
        return dir;
    };
    RunOptions options;
    // "/probe-" and a process id of up to 7 digits follow TEMP.
    std::string fits = long_dir("fits", 4000 - 14);
    RunResult ran = run_launcher(launcher, {"report"}, fits, options);
    EXPECT_EQ(ran.exit_code, 0) << ran.err;
    EXPECT_NE(ran.out.find("\nexe=" + fits + "/probe-"), std::string::npos) << ran.out;
    EXPECT_NE(ran.out.find("\nlibrary=42\n"), std::string::npos) << ran.out;
    EXPECT_EQ(list_dir(fits), std::vector<std::string>{});

    std::string over = long_dir("over", 4075);
    RunResult refused = run_launcher(launcher, {"report"}, over, options);
    EXPECT_EQ(refused.exit_code, 126);
    EXPECT_EQ(refused.out, "");
    EXPECT_TRUE(std::regex_match(refused.err, std::regex(over + "/probe-[0-9]+/probe: the work "
                                 "directory's path is too long for the packed loader's "
                                 "\\(at most [0-9]+ bytes\\)\n"))) << refused.err;
    EXPECT_EQ(list_dir(over), std::vector<std::string>{});
}

// RUNPATH does not serve the needs of the object's libraries: the loader
// cannot start such a program, and the packer names what is missing.
TEST_P(Bundle, LibraryFoundOnlyThroughAnotherObjectsRunpathIsMissing)
{
    shell(target(), scratch.path,
          "mkdir -p app/lib && cp \"$1\"/chain app/ && cp -a \"$1\"/libbun_* app/lib/"
          " && patchelf --set-rpath \"$PWD/app/lib\" app/chain"
          " && ! ./app/chain >/dev/null 2>&1");
    RunResult r = bundle({"-o", scratch / "out", scratch / "app/chain"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "sfxpack: library libbun_b.so.1 not found; libbun_a.so.1 (" +
                         scratch / "app/lib/libbun_a.so.1) needs it\n");
    EXPECT_FALSE(file_exists(scratch / "out"));
}

INSTANTIATE_FOR_TARGETS(Bundle);

// A real program of this machine's Debian packages: xz needs liblzma.so.5,
// which is hidden at run time. (The i386 side of this uses zlib above: the
// machine has no i386 Debian programs, only 32-bit libraries.)
TEST(BundleRealProgram, XzRunsWithTheSystemLiblzmaHidden)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "hiding a file behind a bind mount needs root";
    ScratchDir scratch;
    std::string launcher = scratch / "xz";
    RunResult packed = run_sfxpack({"--bundle", "-v", "-o", launcher, "/usr/bin/xz"});
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    std::string liblzma = plan_path(packed.out, "liblzma.so.5");
    ASSERT_NE(liblzma, "") << packed.out;
    std::string text = pseudo_random_bytes(20000, 3) + std::string(20000, 'x');
    write_text(scratch / "text", text);

    RunOptions options;
    options.set_env = {"TEMP=" + scratch.path};
    RunResult ran = run_process(
        {"unshare", "-m", "sh", "-c",
         std::string("mount --bind /dev/null \"$1\" && mount --bind /dev/null \"$4\" || exit 90; ") +
             "if /usr/bin/xz --version >/dev/null 2>&1; then exit 91; fi; " +
             "\"$2\" -c \"$3\" > \"$3.xz\" && exec \"$2\" -dc \"$3.xz\"",
         "sh", liblzma, launcher, scratch / "text", loaded_library("/usr/bin/xz", "liblzma.so.5")},
        options);
    EXPECT_EQ(ran.exit_code, 0) << ran.err;
    EXPECT_TRUE(ran.out == text);
    EXPECT_EQ(read_text(scratch / "text.xz").substr(0, 6), "\xfd" "7zXZ" + std::string(1, '\0'));
}

}  // namespace
