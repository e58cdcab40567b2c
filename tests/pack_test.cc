// The packer: the launcher it writes, read back section by section, and what
// it refuses.
#include <elf.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "elf_file.h"
#include "sfx.h"

extern "C" {
#include "LzmaDec.h"
}

namespace {

void *sdk_alloc(void *, size_t size) { return malloc(size); }
void sdk_free(void *, void *p) { free(p); }
ISzAlloc sdk_allocator = {sdk_alloc, sdk_free};

uint64_t le(const std::string &bytes, size_t at, int width)
{
    uint64_t v = 0;
    for (int i = width - 1; i >= 0; i--)
        v = v << 8 | (unsigned char)bytes[at + (size_t)i];
    return v;
}

// Decodes a whole LZMA-Alone stream in one call, as the reference would:
// true only when it yields exactly the header's size and uses every byte.
bool decodes_exactly(const std::string &stream, std::string &out)
{
    if (stream.size() < 13)
        return false;
    uint64_t size = le(stream, 5, 8);
    out.assign(size, '\0');
    SizeT out_len = size;
    SizeT in_len = stream.size() - 13;
    ELzmaStatus status;
    SRes res = LzmaDecode((Byte *)&out[0], &out_len,
                          (const Byte *)stream.data() + 13, &in_len,
                          (const Byte *)stream.data(), 5, LZMA_FINISH_END, &status,
                          &sdk_allocator);
    return res == SZ_OK && out_len == size && in_len == stream.size() - 13;
}

struct Record {
    uint64_t data, name, size;
};

std::vector<Record> read_table(const ElfImage &image, const ElfSection &ptr)
{
    bool wide = image.elf_class == ELFCLASS64;
    size_t record_size = wide ? 24 : 12, pointer = wide ? 8 : 4;
    std::vector<Record> records;
    for (size_t at = 0; at + record_size <= ptr.bytes.size(); at += record_size)
        records.push_back({le(ptr.bytes, at, (int)pointer),
                           le(ptr.bytes, at + pointer, (int)pointer),
                           le(ptr.bytes, at + 2 * pointer, 4)});
    return records;
}

class Packer : public TargetTest {
protected:
    ScratchDir scratch;
    std::vector<std::string> inputs;
    std::vector<std::string> contents;

    void SetUp() override
    {
        contents = {pseudo_random_bytes(50000, 7), "", std::string(9000, 'z'),
                    "hello\n", std::string(4096, '\0')};
        for (size_t i = 0; i < contents.size(); i++) {
            inputs.push_back(scratch / ("file" + std::to_string(i)));
            write_text(inputs.back(), contents[i]);
        }
    }
};

TEST_P(Packer, PayloadSectionsFollowTheReadOnlyDataInOrder)
{
    std::string launcher = pack(target(), scratch / "out", inputs);
    ElfImage image;
    std::string error;
    ASSERT_EQ(image.load(launcher, error), 0) << error;
    EXPECT_EQ(image.elf_class, target() == "i386" ? ELFCLASS32 : ELFCLASS64);

    int str = image.index_of(".qzvdump.str");
    ASSERT_GE(str, 1);
    EXPECT_EQ(image.sections[(size_t)str - 1].name, ".rodata");
    EXPECT_EQ(image.index_of(".qzvdump.bin"), str + 1);
    EXPECT_EQ(image.index_of(".qzvdump.ptr"), str + 2);

    const char *names[] = {".qzvdump.str", ".qzvdump.bin", ".qzvdump.ptr"};
    const uint64_t aligns[] = {1, 1, 8};
    for (int i = 0; i < 3; i++) {
        const ElfSection *s = image.find(names[i]);
        EXPECT_EQ(s->type, (uint32_t)SHT_PROGBITS) << names[i];
        EXPECT_EQ(s->flags, (uint64_t)SHF_ALLOC) << names[i];
        EXPECT_EQ(s->align, aligns[i]) << names[i];
    }
    const ElfSection *bin = image.find(".qzvdump.bin");
    const ElfSection *ptr = image.find(".qzvdump.ptr");
    EXPECT_EQ(bin->addr, image.find(".qzvdump.str")->addr + image.find(".qzvdump.str")->size);
    EXPECT_LT(ptr->addr - (bin->addr + bin->size), 8u);
    EXPECT_EQ(ptr->addr % 8, 0u);
}

TEST_P(Packer, TableRecordsPointAtStreamsThatDecodeToTheFiles)
{
    std::string launcher = pack(target(), scratch / "out",
                                {inputs[0], inputs[1], "--name", "renamed", inputs[2],
                                 inputs[3], inputs[4]});
    ElfImage image;
    std::string error;
    ASSERT_EQ(image.load(launcher, error), 0) << error;
    const ElfSection *bin = image.find(".qzvdump.bin");
    std::vector<Record> records = read_table(image, *image.find(".qzvdump.ptr"));
    ASSERT_EQ(records.size(), inputs.size() + 1);

    std::vector<std::string> expected_names = {"file0", "file1", "renamed", "file3", "file4"};
    uint64_t next_stream = bin->addr;
    std::string names_block;
    for (size_t i = 0; i < inputs.size(); i++) {
        const Record &r = records[i];
        EXPECT_EQ(r.data, next_stream) << "streams are back to back";
        next_stream += r.size;
        std::string name;
        ASSERT_TRUE(image.read(r.name, expected_names[i].size() + 1, name));
        EXPECT_EQ(name, expected_names[i] + '\0');
        names_block += name;

        std::string stream, decoded;
        ASSERT_TRUE(image.read(r.data, r.size, stream));
        EXPECT_EQ((unsigned char)stream[0], 0x5d);
        EXPECT_EQ(le(stream, 1, 4), 16777216u);
        EXPECT_EQ(le(stream, 5, 8), contents[i].size());
        ASSERT_TRUE(decodes_exactly(stream, decoded)) << expected_names[i];
        EXPECT_EQ(decoded, contents[i]);
    }
    EXPECT_EQ(next_stream, bin->addr + bin->size);
    EXPECT_EQ(image.find(".qzvdump.str")->bytes, names_block);
    const Record &end = records.back();
    EXPECT_EQ(end.data | end.name | end.size, 0u);
}

TEST_P(Packer, StoredFilesAreEmbeddedVerbatim)
{
    std::string launcher = pack(target(), scratch / "out",
                                {"--force", inputs[3], "--stored", inputs[0], "--stored",
                                 inputs[1]});
    ElfImage image;
    std::string error;
    ASSERT_EQ(image.load(launcher, error), 0) << error;
    std::vector<Record> records = read_table(image, *image.find(".qzvdump.ptr"));
    ASSERT_EQ(records.size(), 4u);
    std::string stored;
    ASSERT_TRUE(image.read(records[1].data, records[1].size, stored));
    EXPECT_EQ(stored, contents[0]);
    EXPECT_EQ(records[2].size, 0u);
}

TEST_P(Packer, LauncherNeedsOnlyLibcAndHasNoTextRelocations)
{
    std::string launcher = pack(target(), scratch / "out", inputs);
    ElfImage image;
    std::string error;
    ASSERT_EQ(image.load(launcher, error), 0) << error;
#ifdef SFX_SANITIZED
    // A sanitizer build links the sanitizers' run-time code in statically;
    // it needs libm and, on i386, symbols of the dynamic loader.
    for (const std::string &lib : image.needed)
        EXPECT_TRUE(lib == "libc.so.6" || lib == "libm.so.6" || lib == "ld-linux.so.2")
            << lib;
#else
    EXPECT_EQ(image.needed, std::vector<std::string>{"libc.so.6"});
#endif
    EXPECT_FALSE(image.textrel);
    EXPECT_EQ(file_mode(launcher) & 0111, 0111u);
}

TEST_P(Packer, SameInputsGiveTheSameLauncher)
{
    ScratchDir other;
    std::string a = pack(target(), scratch / "a", inputs);
    RunOptions elsewhere;
    elsewhere.set_env = {"TMPDIR=" + other.path};
    std::vector<std::string> argv = {sfxpack_path(), "--target", target(), "-o",
                                     other / "b"};
    argv.insert(argv.end(), inputs.begin(), inputs.end());
    ASSERT_EQ(run_process(argv, elsewhere).exit_code, 0);
    EXPECT_TRUE(read_text(a) == read_text(other / "b"));
}

// A compiler driver that fails says how, on the one line: its exit status,
// the signal that ended it, or why it could not start.
TEST_P(Packer, AFailingCompilerDriverIsNamedWithItsStatusOrStartError)
{
    std::string exits = scratch / "exits-3";
    write_text(exits, "#!/bin/sh\nexit 3\n");
    std::string killed = scratch / "killed";
    write_text(killed, "#!/bin/sh\nkill -9 $$\n");
    std::string not_a_program = scratch / "not-a-program";
    write_text(not_a_program, "neither ELF nor a script\n");
    for (const std::string &cc : {exits, killed, not_a_program})
        ASSERT_EQ(chmod(cc.c_str(), 0755), 0);
    const std::string why[] = {"exit status 3", "killed by signal 9",
                               "cannot start it: Exec format error"};
    const std::string drivers[] = {exits, killed, not_a_program};
    for (int i = 0; i < 3; i++) {
        RunOptions options;
        options.set_env = {"SFXPACK_CC=" + drivers[i]};
        RunResult r = run_process({sfxpack_path(), "--target", target(), "-o",
                                   scratch / "out", inputs[0]},
                                  options);
        EXPECT_EQ(r.exit_code, 1) << drivers[i];
        EXPECT_EQ(r.err, "sfxpack: assembling the payload with " + drivers[i] + " failed (" +
                             why[i] + ")\n");
        EXPECT_FALSE(file_exists(scratch / "out")) << drivers[i];
    }
}

INSTANTIATE_FOR_TARGETS(Packer);

// Every refusal: one line on standard error, a non-zero status, and neither
// the output nor any temporary file beside it.
struct Refusal {
    const char *what;
    std::vector<std::string> args;  // {DIR} stands for the scratch directory
    const char *message_part;
};

void PrintTo(const Refusal &r, std::ostream *os) { *os << r.what; }

class PackerRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(PackerRefusal, SaysWhyOnOneLineAndWritesNothing)
{
    ScratchDir scratch;
    write_text(scratch / "prog", "#!/bin/sh\n");
    write_text(scratch / "lib", "data");
    for (int i = 0; i < 33; i++)
        write_text(scratch / ("f" + std::to_string(i)), std::to_string(i));
    std::vector<std::string> args;
    for (std::string arg : GetParam().args) {
        size_t at = arg.find("{DIR}");
        if (at != std::string::npos)
            arg.replace(at, 5, scratch.path);
        if (arg == "{33}") {
            for (int i = 0; i < 33; i++)
                args.push_back(scratch / ("f" + std::to_string(i)));
            continue;
        }
        args.push_back(arg);
    }
    std::vector<std::string> before = list_dir(scratch.path);
    RunResult r = run_sfxpack(args);
    EXPECT_NE(r.exit_code, 0);
    // Only the count refusal lists the entries (and their total) under its line.
    size_t lines = GetParam().what == std::string("too_many") ? 1 + 33 + 1 : 1;
    EXPECT_EQ(split_lines(r.err).size(), lines) << r.err;
    EXPECT_EQ(r.err.rfind("sfxpack: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(GetParam().message_part), std::string::npos) << r.err;
    EXPECT_EQ(list_dir(scratch.path), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PackerRefusal,
    ::testing::Values(
        Refusal{"missing", {"-o", "{DIR}/out", "{DIR}/prog", "{DIR}/nothing"}, "nothing: No such file"},
        Refusal{"directory", {"-o", "{DIR}/out", "{DIR}"}, "is a directory"},
        Refusal{"no_file", {"-o", "{DIR}/out"}, "no FILE"},
        Refusal{"no_output", {"{DIR}/prog"}, "no output"},
        Refusal{"empty_name", {"-o", "{DIR}/out", "--name", "", "{DIR}/prog"}, "empty"},
        Refusal{"dot", {"-o", "{DIR}/out", "--name", ".", "{DIR}/prog"}, "'.'"},
        Refusal{"dotdot", {"-o", "{DIR}/out", "{DIR}/prog", "--name", "..", "{DIR}/lib"}, "'..'"},
        Refusal{"slash", {"-o", "{DIR}/out", "--name", "a/b", "{DIR}/prog"}, "'a/b'"},
        Refusal{"unknown_option", {"-o", "{DIR}/out", "--fast", "{DIR}/prog"}, "--fast"},
        Refusal{"unknown_target", {"--target", "arm", "-o", "{DIR}/out", "{DIR}/prog"}, "arm"},
        Refusal{"bad_level", {"--level", "10", "-o", "{DIR}/out", "{DIR}/prog"}, "'10'"},
        Refusal{"dangling_name", {"-o", "{DIR}/out", "{DIR}/prog", "--name", "x"}, "--name"},
        Refusal{"too_many", {"-o", "{DIR}/out", "{33}"}, "33 entries"},
        Refusal{"duplicate", {"-o", "{DIR}/out", "{DIR}/prog", "--name", "prog", "{DIR}/lib"}, "'prog'"},
        Refusal{"unwritable_dir", {"-o", "{DIR}/no/such/dir/out", "{DIR}/prog"}, "out"},
        // An empty path would be named as ": No such file".
        Refusal{"empty_file", {"-o", "{DIR}/out", "{DIR}/prog", ""}, "an empty argument is not"},
        Refusal{"empty_after_dashes", {"-o", "{DIR}/out", "--", ""}, "an empty argument is not"},
        Refusal{"empty_output", {"-o", "", "{DIR}/prog"}, "-o needs a file name"},
        Refusal{"empty_include", {"--bundle", "--include", "", "-o", "{DIR}/out", "{DIR}/prog"},
                "--include needs a file name"},
        Refusal{"empty_launcher", {"--inspect", ""}, "an empty argument is not"},
        Refusal{"empty_extract_dir", {"--extract", "{DIR}/prog", ""}, "an empty argument is not"}),
    [](const auto &info) { return std::string(info.param.what); });

TEST(PackerForce, TurnsLimitsIntoWarnings)
{
    ScratchDir scratch;
    std::vector<std::string> args = {"-o", scratch / "out", "--force"};
    for (int i = 0; i < 33; i++) {
        write_text(scratch / ("f" + std::to_string(i)), std::to_string(i));
        args.push_back(scratch / ("f" + std::to_string(i)));
    }
    args.push_back("--name");
    args.push_back("f0");
    args.push_back(scratch / "f1");
    RunResult r = run_sfxpack(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("warning: 34 entries"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("warning: two entries are named 'f0'"), std::string::npos);
    RunResult listed = run_process({scratch / "out", "@list"});
    EXPECT_EQ(split_lines(listed.out).size(), 34u);
}

TEST(PackerFailure, KeepsAnExistingOutputUntouched)
{
    ScratchDir scratch;
    write_text(scratch / "out", "previous launcher");
    RunResult r = run_sfxpack({"-o", scratch / "out", scratch / "missing"});
    EXPECT_NE(r.exit_code, 0);
    EXPECT_EQ(read_text(scratch / "out"), "previous launcher");
    EXPECT_EQ(list_dir(scratch.path), std::vector<std::string>{"out"});
}

// sfxpack writes a launcher by renaming it into OUTPUT's place, which would
// replace whatever has that name: only a regular file is, or a symbolic
// link, which is replaced itself. A device, a FIFO or a directory is
// refused at once, with or without --force, and a write-protected file
// without it: one line, status 1, nothing written and nothing waited on.
TEST(PackerOutput, OnlyARegularFileIsReplacedAndAWriteProtectedOneOnlyWithForce)
{
    ScratchDir scratch;
    write_text(scratch / "prog", "#!/bin/sh\n");
    write_text(scratch / "protected", "kept");
    ASSERT_EQ(chmod((scratch / "protected").c_str(), 0444), 0);
    ASSERT_EQ(mkfifo((scratch / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir((scratch / "dir").c_str(), 0700), 0);
    std::vector<std::pair<std::string, std::string>> refused = {
        {"fifo", "not a regular file; only a regular file is replaced"},
        {"dir", "is a directory"},
        {"protected", "write-protected; --force replaces it"}};
    // What /dev/null is: only root may make one.
    if (geteuid() == 0) {
        ASSERT_EQ(mknod((scratch / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
        refused.push_back({"null", "not a regular file; only a regular file is replaced"});
    }
    std::vector<std::string> before = list_dir(scratch.path);
    for (const auto &[name, why] : refused)
        for (bool force : {false, true}) {
            if (force && name == "protected")
                continue;
            SCOPED_TRACE(name + (force ? " --force" : ""));
            std::vector<std::string> argv = {sfxpack_path(), "-o", scratch / name};
            if (force)
                argv.push_back("--force");
            argv.push_back(scratch / "prog");
            RunOptions options;
            options.timeout_seconds = 30;
            RunResult r = run_process(argv, options);
            EXPECT_EQ(r.exit_code, 1);
            EXPECT_EQ(r.err, "sfxpack: " + scratch / name + ": " + why + "\n");
        }
    EXPECT_EQ(list_dir(scratch.path), before);
    struct stat st;
    ASSERT_EQ(lstat((scratch / "fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    if (geteuid() == 0) {
        ASSERT_EQ(lstat((scratch / "null").c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
        EXPECT_EQ(st.st_rdev, makedev(1, 3));
    }
    EXPECT_EQ(read_text(scratch / "protected"), "kept");
    EXPECT_EQ(file_mode(scratch / "protected"), 0444u);

    RunResult forced = run_sfxpack({"--force", "-o", scratch / "protected", scratch / "prog"});
    EXPECT_EQ(forced.exit_code, 0) << forced.err;
    EXPECT_EQ(run_process({scratch / "protected", "@list"}).exit_code, 0);

    // A link is replaced by the launcher; the file it pointed at stays.
    write_text(scratch / "pointed-at", "kept");
    ASSERT_EQ(symlink("pointed-at", (scratch / "link").c_str()), 0);
    RunResult linked = run_sfxpack({"-o", scratch / "link", scratch / "prog"});
    EXPECT_EQ(linked.exit_code, 0) << linked.err;
    ASSERT_EQ(lstat((scratch / "link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_text(scratch / "pointed-at"), "kept");
}

// What takes OUTPUT's name while the launcher is being made is checked
// again before the rename: here the compiler driver makes a FIFO there.
TEST(PackerOutput, AFifoMadeWhilePackingIsNotReplaced)
{
    ScratchDir scratch;
    write_text(scratch / "prog", "#!/bin/sh\n");
    std::string driver = scratch / "driver";
    write_text(driver, "#!/bin/sh\n[ -e \"$OUT\" ] || mkfifo \"$OUT\" || exit 99\nexec cc \"$@\"\n");
    ASSERT_EQ(chmod(driver.c_str(), 0755), 0);
    RunOptions options;
    options.set_env = {"SFXPACK_CC=" + driver, "OUT=" + scratch / "out"};
    options.timeout_seconds = 60;
    RunResult r = run_process({sfxpack_path(), "-o", scratch / "out", scratch / "prog"}, options);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "sfxpack: " + scratch / "out" +
                         ": not a regular file; only a regular file is replaced\n");
    struct stat st;
    ASSERT_EQ(lstat((scratch / "out").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(list_dir(scratch.path), (std::vector<std::string>{"driver", "out", "prog"}));
}

// A FIFO (or a device) named as an input would block the packer in open or
// read until something wrote to it; it is refused at once instead, whatever
// reads it: packing, the plan, bundling, the launcher reader.
TEST(PackerInput, FifosAndDevicesAreRefusedWithoutWaiting)
{
    ScratchDir scratch;
    write_text(scratch / "prog", "#!/bin/sh\n");
    ASSERT_EQ(mkfifo((scratch / "fifo").c_str(), 0600), 0);
    const std::vector<std::vector<std::string>> commands = {
        {"-o", scratch / "out", scratch / "prog", scratch / "fifo"},
        {"-o", scratch / "out", scratch / "prog", "--stored", scratch / "fifo"},
        {"-n", scratch / "prog", scratch / "fifo"},
        {"--bundle", "-o", scratch / "out", scratch / "fifo"},
        {"--inspect", scratch / "fifo"},
        {"--verify", scratch / "fifo"},
        {"--extract", scratch / "fifo", scratch / "dir"},
        {"-o", scratch / "out", scratch / "prog", "/dev/zero"},
    };
    for (const std::vector<std::string> &args : commands) {
        std::vector<std::string> argv = {sfxpack_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        SCOPED_TRACE(argv[1] + " " + argv.back());
        RunOptions options;
        options.timeout_seconds = 30;
        RunResult r = run_process(argv, options);
        EXPECT_EQ(r.exit_code, 1) << r.err;
        EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
        EXPECT_NE(r.err.find(": not a regular file"), std::string::npos) << r.err;
    }
    EXPECT_EQ(list_dir(scratch.path), (std::vector<std::string>{"fifo", "prog"}));
}

}  // namespace
