// sfxpack --bundle with --add: the ELF objects of a tree (plugins, modules,
// helper programs) bring their libraries to the top of the work directory
// and find them there from wherever they lie; what is not such an object is
// packed untouched; with --libc the tree's executables keep room for the
// packed loader, which the launcher's record lists.
#include <elf.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "elf_file.h"
#include "format.h"
#include "sfx.h"

namespace {

std::string other_target(const std::string &target)
{
    return target == "i386" ? "x86_64" : "i386";
}

uint64_t le(const std::string &bytes, size_t at, size_t width)
{
    uint64_t value = 0;
    for (size_t i = width; i-- > 0;)
        value = value << 8 | (unsigned char)bytes[at + i];
    return value;
}

std::vector<std::string> plan_lines(const std::string &out, const std::string &prefix)
{
    std::vector<std::string> found;
    for (const std::string &line : split_lines(out))
        if (line.rfind(prefix, 0) == 0)
            found.push_back(line);
    return found;
}

// The plan lines of entries called name: one, where bundling is right.
std::vector<std::string> entry_lines(const std::string &out, const std::string &name)
{
    std::vector<std::string> found;
    for (const std::string &line : plan_lines(out, "entry "))
        if (line.find(": " + name + " <- ") != std::string::npos)
            found.push_back(line);
    return found;
}

std::string entry_line(const std::string &out, const std::string &name)
{
    std::vector<std::string> lines = entry_lines(out, name);
    EXPECT_EQ(lines.size(), 1u) << name << " in\n" << out;
    return lines.empty() ? "" : lines[0];
}

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// The entries in the launcher's order, as @list names them.
std::vector<std::string> entry_names(const std::string &launcher)
{
    std::vector<std::string> names;
    for (const std::string &line : split_lines(run_process({launcher, "@list"}).out))
        names.push_back(line.substr(12));
    return names;
}

struct Room {
    uint32_t entry, interpreter_at, interpreter_room, library_dir_at, library_dir_room;
};

// The rooms of the tree's other executables, from the launcher's
// LoaderPaths record (payload.h), read by the target's layout.
std::vector<Room> other_rooms(const std::string &launcher)
{
    std::vector<Room> rooms;
    ElfImage image;
    std::string error;
    EXPECT_EQ(image.load(launcher, error), 0) << error;
    const ElfSection *record = image.find(PAYLOAD_LOADER_SECTION);
    if (record == nullptr) {
        ADD_FAILURE() << "no loader record in " << launcher;
        return rooms;
    }
    size_t pointer = image.elf_class == ELFCLASS64 ? 8 : 4;
    size_t count_at = 16 + pointer;
    size_t others_at = (count_at + 4 + pointer - 1) / pointer * pointer;
    uint64_t count = le(record->bytes, count_at, 4);
    std::string bytes;
    if (count != 0 && !image.read(le(record->bytes, others_at, pointer), count * 20, bytes)) {
        ADD_FAILURE() << "the loader record's rooms are not in " << launcher;
        return rooms;
    }
    for (size_t i = 0; i < count; i++) {
        const size_t at = i * 20;
        rooms.push_back({(uint32_t)le(bytes, at, 4), (uint32_t)le(bytes, at + 4, 4),
                         (uint32_t)le(bytes, at + 8, 4), (uint32_t)le(bytes, at + 12, 4),
                         (uint32_t)le(bytes, at + 16, 4)});
    }
    return rooms;
}

std::string bytes_at(const std::string &path, uint64_t at, size_t size)
{
    std::string all = read_text(path);
    return at < all.size() ? all.substr(at, size) : "";
}

class TreeBundle : public TargetTest {
protected:
    ScratchDir scratch;
    std::string tmp;     // the packer's TMPDIR: must be empty after every run
    std::string src;     // what --add takes
    std::string fixtures;

    void SetUp() override
    {
        tmp = scratch / "tmp";
        src = scratch / "src";
        fixtures = fixture_path(target(), "bundle");
        make_dirs(tmp);
        make_dirs(src);
    }

    // Runs a shell script in the scratch directory, with $1 the target's
    // bundle fixtures and $2 the other target's.
    void shell(const std::string &script)
    {
        RunOptions options;
        options.cwd = scratch.path;
        RunResult r = run_process({"sh", "-ec", script, "sh", fixtures,
                                   fixture_path(other_target(target()), "bundle")},
                                  options);
        ASSERT_EQ(r.exit_code, 0) << script << "\n" << r.err;
    }

    RunResult bundle(const std::vector<std::string> &args, const std::string &library_path)
    {
        std::vector<std::string> argv = {sfxpack_path(), "--bundle"};
        argv.insert(argv.end(), args.begin(), args.end());
        RunOptions options;
        options.set_env = {"TMPDIR=" + tmp, "LD_LIBRARY_PATH=" + library_path};
        RunResult r = run_process(argv, options);
        EXPECT_EQ(list_dir(tmp), std::vector<std::string>{}) << "temporary files left";
        return r;
    }

    // From / and with no library path: the launcher has only what it carries.
    RunResult launch(const std::string &launcher, const std::vector<std::string> &args)
    {
        RunOptions options;
        options.cwd = "/";
        options.unset_env = {"LD_LIBRARY_PATH"};
        return run_launcher(launcher, args, scratch.path, options);
    }

    // Unpacks a launcher into the scratch directory; returns where.
    std::string unpack(const std::string &launcher)
    {
        RunOptions here;
        here.cwd = scratch.path;
        RunResult r = run_launcher(launcher, {"@unpack"}, scratch.path, here);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return scratch / entry_names(launcher).front();
    }

    // An unpacked object's search path: "RPATH r", "RUNPATH r", or both.
    static std::string search_path(const std::string &path)
    {
        ElfImage image;
        std::string error;
        EXPECT_EQ(image.load(path, error), 0) << path << ": " << error;
        std::string out;
        if (!image.rpath.empty())
            out = "RPATH " + image.rpath;
        if (!image.runpath.empty())
            out += (out.empty() ? "" : " ") + std::string("RUNPATH ") + image.runpath;
        return out;
    }
};

// A plugin two and three directories down needs a library of its own: it is
// packed once, at the top, named with both users, and each copy climbs to
// it. The program loads the plugin from the tree (through LD_LIBRARY_PATH,
// set with --env) and the plugin finds its library, where before it was
// not packed at all.
TEST_P(TreeBundle, PluginsDeepInTheTreeFindTheirLibraryAtTheTop)
{
    shell("mkdir -p src/plugins src/more/deeper && cp \"$1\"/libbun_plugin.so src/plugins/ &&"
          " cp \"$1\"/libbun_plugin.so src/more/deeper/");
    std::string launcher = scratch / "chain-sfx";
    RunResult packed = bundle({"-v", "-o", launcher, "--add", src + "=lib", "--env",
                               "LD_LIBRARY_PATH=$ORIGIN/lib/plugins", fixtures + "/chain"},
                              fixtures);
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    EXPECT_TRUE(has(entry_line(packed.out, "libbun_extra.so.1"),
                    "(needed by lib/more/deeper/libbun_plugin.so, lib/plugins/libbun_plugin.so;"))
        << packed.out;
    std::string plugin = entry_line(packed.out, "lib/plugins/libbun_plugin.so");
    EXPECT_TRUE(has(plugin, "; needs libbun_extra.so.1")) << plugin;
    EXPECT_TRUE(has(plugin, "; run-time search path set to $ORIGIN/../..;")) << plugin;
    EXPECT_TRUE(has(entry_line(packed.out, "lib/more/deeper/libbun_plugin.so"),
                    "; run-time search path set to $ORIGIN/../../..;"))
        << packed.out;
    EXPECT_TRUE(plan_lines(packed.out, "note:").empty()) << packed.out;

    RunResult ran = launch(launcher, {"plugin"});
    EXPECT_EQ(ran.out, "chain 13\nplugin 202\n") << ran.err;
    EXPECT_EQ(ran.exit_code, 0);

    std::string dir = unpack(launcher);
    EXPECT_EQ(search_path(dir + "/lib/plugins/libbun_plugin.so"), "RPATH $ORIGIN/../..");
    EXPECT_EQ(search_path(dir + "/lib/more/deeper/libbun_plugin.so"), "RPATH $ORIGIN/../../..");
    EXPECT_EQ(search_path(dir + "/libbun_extra.so.1"), "RPATH $ORIGIN");
}

// A tree object's own search path is searched with $ORIGIN its own
// directory, and what of it stays inside the tree follows the way to the
// top; what leads out of the work directory, from its depth, is left out
// and named. The library found through it runs from the top.
TEST_P(TreeBundle, OwnSearchPathKeptWhereItStaysInsideTheTree)
{
    // The program's libraries without the plugin's: only the plugin's
    // RUNPATH finds that one.
    shell("mkdir -p libs src/plugins src/private && cp -a \"$1\"/libbun_a.so* \"$1\"/libbun_b.so*"
          " \"$1\"/libbun_common.so* libs/ && cp \"$1\"/libbun_plugin.so src/plugins/ &&"
          " cp \"$1\"/libbun_extra.so.1 src/private/ && patchelf --set-rpath"
          " '/nonexistent/lib:$ORIGIN/../private:$ORIGIN/../../../up:$ORIGIN/x/../../y'"
          " src/plugins/libbun_plugin.so");
    std::string launcher = scratch / "chain-sfx";
    RunResult packed = bundle({"-v", "-o", launcher, "--add", src + "=lib", "--env",
                               "LD_LIBRARY_PATH=$ORIGIN/lib/plugins", fixtures + "/chain"},
                              scratch / "libs");
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    char real[PATH_MAX];
    ASSERT_NE(realpath(src.c_str(), real), nullptr);
    std::string library = entry_line(packed.out, "libbun_extra.so.1");
    EXPECT_TRUE(has(library, " <- " + std::string(real) + "/plugins/../private/libbun_extra.so.1 (needed by "
                             "lib/plugins/libbun_plugin.so; found through RUNPATH of "
                             "lib/plugins/libbun_plugin.so;"))
        << library;
    std::string plugin = entry_line(packed.out, "lib/plugins/libbun_plugin.so");
    EXPECT_TRUE(has(plugin, "; run-time search path set to $ORIGIN/../..:$ORIGIN/../private;"))
        << plugin;
    EXPECT_TRUE(has(plugin, "; left out of its search path, as outside the work directory: "
                            "/nonexistent/lib, $ORIGIN/../../../up, $ORIGIN/x/../../y;"))
        << plugin;

    RunResult ran = launch(launcher, {"plugin"});
    EXPECT_EQ(ran.out, "chain 13\nplugin 202\n") << ran.err;
    std::string dir = unpack(launcher);
    EXPECT_EQ(search_path(dir + "/lib/plugins/libbun_plugin.so"),
              "RPATH $ORIGIN/../..:$ORIGIN/../private");
}

// Files that are no ELF object of the target are packed byte for byte:
// another machine's object and one that only begins like ELF each with a
// note, a script and a static program silently; so is an object named as
// one of the C library's, which must stay as its glibc built it.
TEST_P(TreeBundle, WhatIsNoObjectOfTheTargetIsPackedAsItIs)
{
    shell("mkdir -p src/other && cp \"$2\"/libbun_plugin.so src/other/ &&"
          " printf '\\177ELFnot an object at all' > src/fake.so &&"
          " head -c 200 \"$1\"/libbun_plugin.so > src/cut.so &&"
          " printf '#!/bin/sh\\necho script\\n' > src/tool.sh && chmod 755 src/tool.sh &&"
          " cp \"$1\"/static src/static && cp \"$1\"/libbun_plugin.so src/libm.so.6");
    std::string launcher = scratch / "chain-sfx";
    RunResult packed =
        bundle({"-v", "-o", launcher, "--add", src + "=share", fixtures + "/chain"}, fixtures);
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    std::vector<std::string> notes = plan_lines(packed.out, "note:");
    ASSERT_EQ(notes.size(), 3u) << packed.out;
    EXPECT_EQ(notes[0].rfind("note: share/cut.so (" + src + "/cut.so) begins as an ELF file "
                             "but is not one (damaged ELF file (",
                             0),
              0u)
        << notes[0];
    EXPECT_EQ(notes[1], "note: share/fake.so (" + src + "/fake.so) begins as an ELF file but "
                        "is not one (not an ELF file): packed as it is");
    EXPECT_EQ(notes[2], "note: share/other/libbun_plugin.so (" + src +
                            "/other/libbun_plugin.so) is built for " + other_target(target()) +
                            ", not for " + target() +
                            " as the program is: packed as it is, with nothing it needs");
    EXPECT_TRUE(entry_lines(packed.out, "libbun_extra.so.1").empty()) << packed.out;
    const char *const as_they_are[] = {"cut.so", "fake.so", "other/libbun_plugin.so",
                                       "tool.sh", "static", "libm.so.6"};
    for (const char *name : as_they_are)
        EXPECT_FALSE(has(entry_line(packed.out, std::string("share/") + name), "search path"))
            << packed.out;

    std::string dir = unpack(launcher);
    for (const char *name : as_they_are)
        EXPECT_EQ(read_text(dir + "/share/" + name), read_text(src + "/" + name)) << name;
}

// A library that only an object of the tree needs and that is nowhere to be
// found does not stop the pack: a note names it, and the object still finds
// what was found. The program's own and an --include file's still stop it.
TEST_P(TreeBundle, MissingLibraryOfATreeObjectIsANoteNotAFailure)
{
    shell("mkdir -p libs src/plugins && cp -a \"$1\"/libbun_a.so* \"$1\"/libbun_b.so*"
          " \"$1\"/libbun_common.so* libs/ && cp \"$1\"/libbun_plugin.so src/plugins/ &&"
          " cp src/plugins/libbun_plugin.so src/plugins/second.so");
    std::string launcher = scratch / "chain-sfx";
    RunResult packed =
        bundle({"-v", "-o", launcher, "--add", src + "=lib", fixtures + "/chain"}, scratch / "libs");
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    EXPECT_EQ(plan_lines(packed.out, "note:"),
              std::vector<std::string>{
                  "note: libbun_extra.so.1 (needed by lib/plugins/libbun_plugin.so, "
                  "lib/plugins/second.so) was not found: what needs it is packed with its other "
                  "libraries, and looks for libbun_extra.so.1 on the machine that runs it"})
        << packed.out;
    EXPECT_TRUE(has(entry_line(packed.out, "lib/plugins/libbun_plugin.so"),
                    "; run-time search path set to $ORIGIN/../..;"))
        << packed.out;
    EXPECT_TRUE(entry_lines(packed.out, "libbun_extra.so.1").empty()) << packed.out;

    RunResult included = bundle({"-n", "--include", src + "/plugins/libbun_plugin.so", "--add",
                                 src + "=lib", fixtures + "/chain"},
                                scratch / "libs");
    EXPECT_EQ(included.exit_code, 1);
    EXPECT_EQ(included.err, "sfxpack: library libbun_extra.so.1 not found; libbun_plugin.so (" +
                                src + "/plugins/libbun_plugin.so) needs it\n");
    shell("rm libs/libbun_b.so*");
    RunResult program =
        bundle({"-n", "--add", src + "=lib", fixtures + "/chain"}, scratch / "libs");
    EXPECT_EQ(program.exit_code, 1);
    EXPECT_TRUE(has(program.err, "sfxpack: library libbun_b.so.1 not found; libbun_a.so.1 ("))
        << program.err;
}

// With --libc, each executable file of the tree is prepared as the program
// is, once however many names it has, and the launcher's record lists its
// rooms in entry order, which unpacking fills; a shared object climbs to the
// top as without --libc; a static program and one naming another loader are
// left as they are, the latter with a note.
TEST_P(TreeBundle, WithLibcEveryExecutableOfTheTreeKeepsRoomForThePackedLoader)
{
    shell("mkdir -p src/bin src/libexec src/plugins && cp \"$1\"/chain src/bin/chain &&"
          " ln src/bin/chain src/bin/chain-too && ln -s chain src/bin/alias &&"
          " cp \"$1\"/chain src/libexec/helper && cp \"$1\"/static src/bin/static &&"
          " cp \"$1\"/libbun_plugin.so src/plugins/ && cp \"$1\"/chain src/bin/foreign &&"
          " patchelf --set-interpreter /lib/ld-musl-elsewhere.so.1 src/bin/foreign");
    std::string launcher = scratch / "chain-sfx";
    RunResult packed = bundle({"--libc", "-v", "-o", launcher, "--add", src + "=app", "--env",
                               "LD_LIBRARY_PATH=$ORIGIN/app/plugins", fixtures + "/chain"},
                              fixtures);
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    const std::string loader = target() == "i386" ? "ld-linux.so.2" : "ld-linux-x86-64.so.2";
    for (const char *name : {"app/bin/chain", "app/libexec/helper"})
        EXPECT_TRUE(has(entry_line(packed.out, name), "; started through the packed loader"))
            << packed.out;
    EXPECT_TRUE(has(entry_line(packed.out, "app/plugins/libbun_plugin.so"),
                    "; run-time search path set to $ORIGIN/../..;"))
        << packed.out;
    EXPECT_EQ(plan_lines(packed.out, "note: app/bin/foreign"),
              std::vector<std::string>{"note: app/bin/foreign (" + src +
                                       "/bin/foreign) names the loader "
                                       "'/lib/ld-musl-elsewhere.so.1', not the program's " +
                                       loader +
                                       ", which --libc packs: packed as it is, with nothing it "
                                       "needs"})
        << packed.out;

    std::vector<std::string> names = entry_names(launcher);
    std::vector<Room> rooms = other_rooms(launcher);
    std::vector<std::string> prepared;
    for (const Room &r : rooms)
        prepared.push_back(r.entry < names.size() ? names[r.entry] : "?");
    EXPECT_EQ(prepared, (std::vector<std::string>{"app/bin/chain", "app/libexec/helper"}));

    // Unpacked, each room holds the packed loader's path and the work
    // directory, and the executable runs by any of its names with no help
    // from the launcher.
    std::string dir = unpack(launcher);
    for (const Room &r : rooms) {
        ASSERT_LT(r.entry, names.size());
        std::string file = dir + "/" + names[r.entry];
        EXPECT_EQ(r.interpreter_room, (uint32_t)LOADER_PATH_ROOM);
        EXPECT_EQ(r.library_dir_room, (uint32_t)LOADER_PATH_ROOM);
        std::string interpreter = bytes_at(file, r.interpreter_at, LOADER_PATH_ROOM);
        std::string library_dir = bytes_at(file, r.library_dir_at, LOADER_PATH_ROOM);
        EXPECT_EQ(interpreter.c_str(), dir + "/" + loader) << file;
        EXPECT_EQ(library_dir.c_str(), dir) << file;
    }
    RunOptions bare;
    bare.cwd = "/";
    bare.unset_env = {"LD_LIBRARY_PATH"};
    for (const char *name : {"app/bin/chain", "app/bin/chain-too", "app/bin/alias",
                             "app/libexec/helper"}) {
        RunResult helper = run_process({dir + "/" + name}, bare);
        EXPECT_EQ(helper.out, "chain 13\n") << name << ": " << helper.err;
    }
    EXPECT_EQ(read_text(dir + "/app/bin/static"), read_text(src + "/bin/static"));
    EXPECT_EQ(read_text(dir + "/app/bin/foreign"), read_text(src + "/bin/foreign"));

    RunResult ran = launch(launcher, {"plugin"});
    EXPECT_EQ(ran.out, "chain 13\nplugin 202\n") << ran.err;
}

// The bundled libraries join the tree's entries after the walk: files
// sorted before and after them keep their hard links to the right entry,
// and a tree file at a library's path is refused as two entries of one
// path.
TEST_P(TreeBundle, LibrariesTakeTheirPlaceAmongTheTreesEntries)
{
    shell("mkdir -p src/a src/m src/plugins && echo first > src/a/one && ln src/a/one src/a/two &&"
          " echo second > src/m/one && ln src/m/one src/m/two &&"
          " cp \"$1\"/libbun_plugin.so src/plugins/");
    std::string launcher = scratch / "chain-sfx";
    RunResult packed = bundle({"-o", launcher, "--add", src + "/a=a", "--add", src + "/m=m",
                               "--add", src + "/plugins=plugins", fixtures + "/chain"},
                              fixtures);
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    std::string dir = unpack(launcher);
    struct stat one, two;
    for (const char *sub : {"/a/", "/m/"}) {
        ASSERT_EQ(stat((dir + sub + "one").c_str(), &one), 0);
        ASSERT_EQ(stat((dir + sub + "two").c_str(), &two), 0);
        EXPECT_EQ(one.st_ino, two.st_ino) << sub;
    }
    EXPECT_EQ(read_text(dir + "/a/two"), "first\n");
    EXPECT_EQ(read_text(dir + "/m/two"), "second\n");

    RunResult clash =
        bundle({"-n", "--add", src + "/a/one=libbun_extra.so.1", "--add",
                src + "/plugins=plugins", fixtures + "/chain"},
               fixtures);
    EXPECT_EQ(clash.exit_code, 2);
    EXPECT_TRUE(has(clash.err, "sfxpack: two entries have the path 'libbun_extra.so.1' ("))
        << clash.err;
}

// --strip takes a tree's objects below the top too, as their search paths
// were set: its copies are named apart from the entries' paths.
TEST_P(TreeBundle, StripReachesTheObjectsBelowTheTop)
{
    shell("mkdir -p src/bin && cp \"$1\"/../probe-debug src/bin/");
    std::string launcher = scratch / "chain-sfx";
    RunResult packed =
        bundle({"--strip", "-o", launcher, "--add", src + "=app", fixtures + "/chain"},
               fixtures + ":" + fixture_path(target(), "."));
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    std::string dir = unpack(launcher);
    ElfImage image;
    std::string error;
    ASSERT_EQ(image.load(dir + "/app/bin/probe-debug", error), 0) << error;
    EXPECT_EQ(image.find(".debug_info"), nullptr);
    EXPECT_EQ(search_path(dir + "/app/bin/probe-debug"), "RPATH $ORIGIN/../..:$ORIGIN");
}

INSTANTIATE_FOR_TARGETS(TreeBundle);

}  // namespace
