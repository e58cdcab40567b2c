// What --verify, --inspect and --extract make of a tree payload: its kinds,
// modes, links and --env records as the packer recorded them, and a damaged
// or hostile table refused before anything is written.
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "elf_file.h"
#include "sfx.h"

namespace {

class TreeReading : public TargetTest {
protected:
    ScratchDir scratch;
    std::string launcher, file;
    ElfImage image;

    void SetUp() override
    {
        std::string src = scratch / "src";
        for (const char *dir : {"", "/d", "/d/e", "/empty"})
            ASSERT_EQ(mkdir((src + dir).c_str(), 0755), 0) << dir;
        write_text(src + "/d/e/f.txt", "hello\n");
        write_text(src + "/d/same.txt", "hello\n");
        write_text(src + "/d/run.sh", "#!/bin/sh\necho hi\n");
        ASSERT_EQ(chmod((src + "/d/run.sh").c_str(), 0755), 0);
        ASSERT_EQ(link((src + "/d/e/f.txt").c_str(), (src + "/d/hard").c_str()), 0);
        ASSERT_EQ(symlink("e/f.txt", (src + "/d/link").c_str()), 0);
        // "lxf" becomes "l/f" with one byte: a path through the link l.
        ASSERT_EQ(symlink("d", (src + "/l").c_str()), 0);
        write_text(src + "/lxf", "x");
        launcher = pack(target(), scratch / "launcher",
                        {fixture_path(target(), "probe"), fixture_path(target(), "libprobe.so"),
                         "--add", src + "=app", "--env", "PATH=$ORIGIN/bin:${PATH}", "--env",
                         "X=1"});
        file = read_text(launcher);
        std::string error;
        ASSERT_EQ(image.load(launcher, error), 0) << error;
        ASSERT_NE(image.find(".qzvdump.tree"), nullptr);
    }

    unsigned pointer_size() const { return target() == "x86_64" ? 8 : 4; }

    // The file offset of the tree record's field at field bytes into the
    // record of the entry named path.
    size_t tree_field(const std::string &path, size_t field)
    {
        const ElfSection *tree = image.find(".qzvdump.tree");
        const ElfSection *table = image.find(".qzvdump.ptr");
        uint64_t entries = 0;
        memcpy(&entries, tree->bytes.data() + pointer_size(), pointer_size());
        size_t record = pointer_size() == 8 ? 24 : 16;
        for (size_t i = 0; (i + 1) * 3 * pointer_size() <= table->size; i++) {
            uint64_t name_addr = 0;
            memcpy(&name_addr, table->bytes.data() + i * 3 * pointer_size() + pointer_size(),
                   pointer_size());
            std::string name;
            if (name_addr == 0 || !image.read(name_addr, path.size() + 1, name))
                break;
            if (name == path + '\0')
                return tree->offset + (entries - tree->addr) + i * record + field;
        }
        ADD_FAILURE() << path << " not in the table";
        return 0;
    }

    std::string with_bytes(const std::string &name, size_t offset, const std::string &bytes)
    {
        std::string copy = file;
        copy.replace(offset, bytes.size(), bytes);
        write_text(scratch / name, copy);
        return scratch / name;
    }

    // The launcher with the first text of section changed from one to other.
    std::string with_text(const std::string &name, const std::string &section,
                          const std::string &from, const std::string &to)
    {
        const ElfSection *s = image.find(section);
        size_t at = s->bytes.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return with_bytes(name, s->offset + at, to);
    }

    void expect_verify_fails(const std::string &damaged, const std::vector<std::string> &lines)
    {
        RunResult r = run_sfxpack({"--verify", damaged});
        EXPECT_EQ(r.exit_code, 1) << r.out;
        for (const std::string &line : lines)
            EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    }

    // --extract refuses with one line and makes nothing.
    void expect_extract_refused(const std::string &damaged, const std::string &reason)
    {
        RunResult r = run_sfxpack({"--extract", damaged, scratch / "refused"});
        EXPECT_EQ(r.exit_code, 1) << r.err;
        EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
        EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
        EXPECT_FALSE(file_exists(scratch / "refused"));
    }
};

TEST_P(TreeReading, VerifyInspectAndJsonShowKindsModesLinksAndEnv)
{
    RunResult r = run_sfxpack({"--verify", launcher});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    for (const char *line : {"'app/d/hard': ok, hard link to entry ",
                             "'app/d/link': ok, symbolic link to 'e/f.txt'",
                             "'app/empty': ok, directory", "'app/l': ok, symbolic link to 'd'",
                             " bytes, sha256 ", ", file, mode 0700\n", ", file, mode 0600\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;

    r = run_sfxpack({"--inspect", launcher});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    for (const char *line : {"env:        2 records\n  PATH=$ORIGIN/bin:${PATH}\n  X=1\n",
                             "  mode  name\n", "  0700  app/d/run.sh\n", "  0600  app/d/same.txt\n",
                             "  -     app/d/link -> e/f.txt\n", "  0700  app/empty/\n",
                             "  -     app/d/hard => entry "})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;

    r = run_sfxpack({"--inspect", "--json", launcher});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    for (const char *text : {"\"tree\": true,", "\"environment\": [\"PATH=$ORIGIN/bin:${PATH}\", "
                                                "\"X=1\"],",
                             "\"kind\": \"symlink\", \"mode\": 0, \"link\": null, \"target\": "
                             "\"e/f.txt\"",
                             "\"kind\": \"directory\", \"mode\": 448,",
                             "\"kind\": \"hard_link\", \"mode\": 0, \"link\": "})
        EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
}

// Written as a run unpacks it: files with their modes, directories 0700,
// links as links, a hard link to the same file.
TEST_P(TreeReading, ExtractWritesTheTree)
{
    std::string out = scratch / "out";
    RunResult r = run_sfxpack({"--extract", launcher, out});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_text(out + "/app/d/e/f.txt"), "hello\n");
    EXPECT_EQ(read_text(out + "/app/d/same.txt"), "hello\n");
    EXPECT_EQ(file_mode(out + "/app/d/run.sh"), 0700u);
    EXPECT_EQ(file_mode(out + "/app/d/same.txt"), 0600u);
    EXPECT_EQ(file_mode(out + "/probe"), 0700u);
    for (const char *dir : {"/app", "/app/d", "/app/d/e", "/app/empty"})
        EXPECT_EQ(file_mode(out + dir), 0700u) << dir;
    EXPECT_TRUE(list_dir(out + "/app/empty").empty());
    char text[64] = {};
    EXPECT_EQ(readlink((out + "/app/d/link").c_str(), text, sizeof text - 1), 7);
    EXPECT_STREQ(text, "e/f.txt");
    struct stat file_stat, hard_stat, same_stat;
    ASSERT_EQ(stat((out + "/app/d/e/f.txt").c_str(), &file_stat), 0);
    ASSERT_EQ(stat((out + "/app/d/hard").c_str(), &hard_stat), 0);
    ASSERT_EQ(stat((out + "/app/d/same.txt").c_str(), &same_stat), 0);
    EXPECT_EQ(file_stat.st_ino, hard_stat.st_ino);
    EXPECT_NE(file_stat.st_ino, same_stat.st_ino) << "same bytes, separate files";
    // Run from the extracted tree, the program is the packed one.
    RunResult run = run_process({out + "/probe"});
    EXPECT_EQ(run.exit_code, run_process({fixture_path(target(), "probe")}).exit_code);

    // An existing directory is never written into.
    r = run_sfxpack({"--extract", launcher, out});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
}

// A flipped mode bit fails twice over: the record is code the manifest
// digests, and it differs from the manifest's record of the entry. So does
// a link target or --env record of the same length.
TEST_P(TreeReading, AChangedModeLinkTargetOrEnvRecordFailsVerify)
{
    size_t mode = tree_field("app/d/run.sh", 4);
    ASSERT_EQ((unsigned char)file[mode], 0xc0);
    std::string flipped = with_bytes("mode", mode, std::string(1, (char)(0xc0 ^ 0x40)));
    expect_verify_fails(flipped, {"manifest: FAILED: the launcher's code has SHA-256 ",
                                  "'app/d/run.sh': FAILED: its mode is 0600, the manifest says "
                                  "0700"});
    expect_extract_refused(flipped, "the launcher's code has SHA-256");

    std::string target = with_text("target", ".qzvdump.tree", "e/f.txt", "e/f.txu");
    expect_verify_fails(target, {"manifest: FAILED: the launcher's code has SHA-256 ",
                                 "'app/d/link': FAILED: its link target is 'e/f.txu', the "
                                 "manifest says 'e/f.txt'"});
    std::string env = with_text("env", ".qzvdump.env", "X=1", "X=2");
    expect_verify_fails(env, {"manifest: FAILED: --env record 1 is 'X=2', the manifest says 'X=1'"});

    // A mode no file has is the table's own problem, manifest or not.
    std::string odd = with_bytes("odd", mode, std::string(1, (char)0xff));
    expect_verify_fails(odd, {"'app/d/run.sh': FAILED: its mode 0777 is not 0700 or 0600"});
    expect_extract_refused(odd, "its mode 0777 is not 0700 or 0600");
}

// Tables no packer makes: a link out of the tree, a path through a link,
// a hard link to a later entry. --verify names each, --extract refuses
// before it writes a byte.
TEST_P(TreeReading, HostileTablesAreRefusedBeforeAnythingIsWritten)
{
    std::string leaving = with_text("leaving", ".qzvdump.tree", "e/f.txt", "/etc/pa");
    expect_verify_fails(leaving, {"symbolic link 'app/d/link' -> '/etc/pa' leads out of the tree"});
    expect_extract_refused(leaving, "leads out of the tree");

    std::string through = with_text("through", ".qzvdump.str", "app/lxf", "app/l/f");
    expect_verify_fails(through, {"table: FAILED: entry path 'app/l/f' runs through symbolic "
                                  "link 'app/l'"});
    expect_extract_refused(through, "entry path 'app/l/f' runs through symbolic link 'app/l'");

    size_t link = tree_field("app/d/hard", 8);
    std::string later = with_bytes("later", link, std::string("\x7f\0\0\0", 4));
    expect_verify_fails(later, {"it is a hard link to entry 127, which is not an earlier file"});
    expect_extract_refused(later, "which is not an earlier file");
}

INSTANTIATE_FOR_TARGETS(TreeReading);

}  // namespace
