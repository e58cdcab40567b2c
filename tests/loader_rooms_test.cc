// A --libc tree's other executables start through the packed loader:
// --unpack-once and --extract fill their rooms as a run does (the runs in
// the test roots are the tree application's), a room too small for the work
// directory is found before anything runs, and a damaged table of rooms is
// refused in one line.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "elf_file.h"
#include "format.h"
#include "sfx.h"

namespace {

class LoaderRooms : public TargetTest {
protected:
    ScratchDir scratch;
    std::string fixtures;

    void SetUp() override { fixtures = fixture_path(target(), "loader_rooms"); }

    // app/: the helper, a copy of it, a symbolic link and a hard link to it.
    std::string make_app()
    {
        std::string app = scratch / "app";
        make_dirs(app + "/libexec");
        make_dirs(app + "/bin");
        std::string helper = read_text(fixtures + "/helper");
        for (const char *name : {"helper", "helper2"}) {
            write_text(app + "/libexec/" + name, helper);
            chmod((app + "/libexec/" + name).c_str(), 0755);
        }
        symlink("../libexec/helper", (app + "/bin/helper-link").c_str());
        link((app + "/libexec/helper").c_str(), (app + "/bin/helper-hard").c_str());
        return app;
    }

    // The starter with app/ packed --bundle --libc; the helper's library is
    // found where the fixtures were built.
    std::string pack_tree(const std::string &name, const std::vector<std::string> &extra = {})
    {
        std::string output = scratch / name;
        std::vector<std::string> args = {sfxpack_path(), "--bundle", "--libc", "-0", "-q", "-o",
                                         output, "--add", make_app() + "=app", "--env",
                                         "APP=$ORIGIN/app", "--env", "PATH=$ORIGIN/app/bin:${PATH}"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(fixtures + "/starter");
        RunOptions options;
        options.set_env = {"LD_LIBRARY_PATH=" + fixtures};
        RunResult r = run_process(args, options);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return output;
    }
};

// Where the loader record's count, its rooms' pointer and its rooms lie in
// the launcher file, and the rooms' entries in table order.
struct RoomTable {
    size_t pointer = 0, count_at = 0, rooms_pointer_at = 0, rooms_at = 0;
    uint64_t section_end = 0;  // the first address past the section
    std::vector<uint32_t> entries;
};

uint64_t number_at(const std::string &file, size_t at, size_t bytes)
{
    uint64_t value = 0;
    memcpy(&value, file.data() + at, bytes);
    return value;
}

RoomTable room_table(const std::string &launcher)
{
    RoomTable t;
    ElfImage image;
    std::string error;
    EXPECT_EQ(image.load(launcher, error), 0) << error;
    const ElfSection *loader = image.find(".qzvdump.ld");
    if (loader == nullptr)
        return t;
    std::string file = read_text(launcher);
    t.pointer = image.elf_class == 2 ? 8 : 4;
    t.count_at = loader->offset + 16 + t.pointer;
    t.rooms_pointer_at = loader->offset + (20 + 2 * t.pointer - 1) / t.pointer * t.pointer;
    t.rooms_at = loader->offset + (number_at(file, t.rooms_pointer_at, t.pointer) - loader->addr);
    t.section_end = loader->addr + loader->size;
    for (uint64_t i = 0; i < number_at(file, t.count_at, 4); i++)
        t.entries.push_back((uint32_t)number_at(file, t.rooms_at + 20 * i, 4));
    return t;
}

std::string number(uint64_t value, size_t bytes) { return std::string((char *)&value, bytes); }

std::string patched(const std::string &launcher, const std::string &name, size_t at,
                    const std::string &bytes)
{
    std::string file = read_text(launcher);
    file.replace(at, bytes.size(), bytes);
    std::string path = launcher + "-" + name;
    write_text(path, file);
    chmod(path.c_str(), 0755);
    return path;
}

// --extract writes each room as @unpack does, and the helper it wrote
// finds its loader and its own library from any directory.
TEST_P(LoaderRooms, ExtractFillsTheRoomsUnpackFills)
{
    std::string launcher = pack_tree("rooms");
    ScratchDir cwd;
    RunOptions in_cwd;
    in_cwd.cwd = cwd.path;
    in_cwd.unset_env = {"LD_LIBRARY_PATH"};
    ASSERT_EQ(run_process({launcher, "@unpack"}, in_cwd).exit_code, 0);
    ASSERT_EQ(rename((cwd / "starter").c_str(), (cwd / "unpacked").c_str()), 0);
    RunResult extracted = run_process({sfxpack_path(), "--extract", launcher, "starter"}, in_cwd);
    ASSERT_EQ(extracted.exit_code, 0) << extracted.err;
    for (const char *name : {"app/libexec/helper", "app/libexec/helper2", "app/bin/helper-hard"}) {
        EXPECT_TRUE(read_text(cwd / "starter/" + name) == read_text(cwd / "unpacked/" + name))
            << name;
        EXPECT_EQ(file_mode(cwd / "starter/" + name), file_mode(cwd / "unpacked/" + name));
    }
    in_cwd.cwd = "/";
    RunResult ran = run_process({cwd / "starter/app/bin/helper-link"}, in_cwd);
    EXPECT_EQ(ran.exit_code, 0) << ran.err;
    EXPECT_NE(ran.out.find("library 28"), std::string::npos) << ran.out;
}

// The first run fills the cache's files; a later one runs them as they are.
// A cache whose path one room cannot hold is passed over for a temp
// directory that it can, and a temp directory that it cannot ends the run
// with the program's status for it, leaving nothing.
TEST_P(LoaderRooms, UnpackOnceAndRoomsTooSmallForTheWorkDirectory)
{
    std::string launcher = pack_tree("once", {"--unpack-once"});
    ScratchDir home, temp;
    RunOptions options;
    options.set_env = {"HOME=" + home.path};
    options.unset_env = {"XDG_CACHE_HOME", "LD_LIBRARY_PATH"};
    for (const char *run : {"first", "later"}) {
        RunResult r = run_launcher(launcher, {"@debug", "libexec/helper", "@helper-hard"},
                                   temp.path, options);
        EXPECT_EQ(r.exit_code, 0) << run << ": " << r.err;
        EXPECT_NE(r.out.find("helper helper-hard: glibc"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("unpack '") != std::string::npos, std::string(run) == "first")
            << run << ": " << r.out;
    }

    // The second room holds 160 bytes: the loader's name and a short work
    // directory, not a cache under a long home.
    RoomTable table = room_table(launcher);
    ASSERT_EQ(table.entries.size(), 2u);
    std::string small = patched(launcher, "small", table.rooms_at + 20 + 8, number(160, 4));
    std::string loader = target() == "x86_64" ? "ld-linux-x86-64.so.2" : "ld-linux.so.2";
    std::string long_home = home / std::string(150, 'h');
    make_dirs(long_home);
    options.set_env = {"HOME=" + long_home};
    RunResult r = run_launcher(small, {"@debug", "libexec/helper2"}, temp.path, options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("too long a path for the packed loader's"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("helper helper2: glibc"), std::string::npos) << r.out;

    std::string long_temp = temp / std::string(150, 't');
    make_dirs(long_temp);
    r = run_launcher(small, {"libexec/helper2"}, long_temp, options);
    EXPECT_EQ(r.exit_code, 126);
    EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
    EXPECT_TRUE(std::regex_match(r.err, std::regex("/.*/starter-[0-9]+/app/[a-z]+/helper[-a-z2]*: "
                                                   "the work directory's path is too long for "
                                                   "the packed loader's \\(at most " +
                                                   std::to_string(160 - 2 - loader.size()) +
                                                   " bytes\\)\n")))
        << r.err;
    EXPECT_EQ(list_dir(long_temp), std::vector<std::string>{});
}

// Each rule of the table of rooms, broken: --verify names it, --inspect
// and --extract refuse the launcher in one line and make nothing.
TEST_P(LoaderRooms, DamagedRoomTablesAreRefused)
{
    std::string launcher = pack_tree("rooms");
    RoomTable t = room_table(launcher);
    ASSERT_EQ(t.entries.size(), 2u);
    RunResult json = run_sfxpack({"--inspect", "--json", launcher});
    ASSERT_EQ(json.exit_code, 0) << json.err;
    EXPECT_NE(json.out.find("\"other_executables\": [" + std::to_string(t.entries[0]) + ", " +
                            std::to_string(t.entries[1]) + "]}"),
              std::string::npos);
    std::smatch link;
    ASSERT_TRUE(std::regex_search(json.out, link, std::regex("\"index\": ([0-9]+), \"name\": "
                                                             "\"app/bin/helper-link\"")));
    uint32_t first = t.entries[0];
    const std::string record = "the loader record in .qzvdump.ld ";
    const struct Case {
        std::string what;
        size_t at;
        std::string bytes;
        std::string expected;
    } cases[] = {
        {"rooms pointer", t.rooms_pointer_at, number(t.section_end, t.pointer),
         record + "lists 2 other executables whose rooms lie outside the section"},
        {"count", t.count_at, number(1000, 4),
         record + "lists 1000 other executables whose rooms lie outside the section"},
        {"entry 0", t.rooms_at, number(0, 4),
         record + "lists entry 0, the program, among the other executables"},
        {"past the table", t.rooms_at, number(100000, 4), record + "lists entry 100000, past "},
        {"order", t.rooms_at + 20, number(first, 4),
         record + "lists entry " + std::to_string(first) + " after entry " +
             std::to_string(first) + ": the entries are not in ascending order"},
        {"a link", t.rooms_at, number(std::stoul(link[1]), 4),
         record + "lists entry " + std::string(link[1]) + ", which is not a file"},
        {"room past the file", t.rooms_at + 4, number(0x7fff0000, 4),
         record + "has a run write up to byte " +
             std::to_string(0x7fff0000u + LOADER_PATH_ROOM) + " of entry " +
             std::to_string(first) + "'s "},
    };
    for (const Case &c : cases) {
        std::string path = patched(launcher, "damaged", c.at, c.bytes);
        RunResult verified = run_sfxpack({"--verify", path});
        EXPECT_EQ(verified.exit_code, 1) << c.what;
        EXPECT_NE((verified.out + verified.err).find(c.expected), std::string::npos)
            << c.what << ":\n" << verified.out << verified.err;
        for (std::vector<std::string> args :
             {std::vector<std::string>{"--extract", path, scratch / "out"}, {"--inspect", path}}) {
            RunResult r = run_sfxpack(args);
            EXPECT_EQ(r.exit_code, 1) << c.what << " " << args[0];
            EXPECT_EQ(split_lines(r.err).size(), 1u) << c.what << " " << args[0] << ": " << r.err;
        }
        EXPECT_FALSE(file_exists(scratch / "out")) << c.what;
    }
}

INSTANTIATE_FOR_TARGETS(LoaderRooms);

}  // namespace
