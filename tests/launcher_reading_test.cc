// sfxpack --inspect, --verify and --extract: reading a launcher without
// running it, including launchers that were damaged or made hostile.
#include <elf.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "elf_file.h"
#include "format/manifest.h"
#include "sfx.h"
#include "sys/sha256.h"

namespace {

struct Input {
    std::string name;
    std::string bytes;
};

// Where each entry's stored stream lies in the launcher file.
struct StoredRange {
    size_t offset;
    size_t size;
};

class LauncherReading : public TargetTest {
protected:
    ScratchDir scratch;
    std::string launcher;
    std::vector<Input> inputs;

    void SetUp() override
    {
        write_text(scratch / "data.bin", pseudo_random_bytes(30000, 7));
        for (const char *name : {"probe", "libprobe.so"})
            inputs.push_back({name, read_text(fixture_path(target(), name))});
        inputs.push_back({"data.bin", read_text(scratch / "data.bin")});
        launcher = pack(target(), scratch / "launcher",
                        {fixture_path(target(), "probe"), fixture_path(target(), "libprobe.so"),
                         scratch / "data.bin"});
    }

    std::vector<StoredRange> stored_ranges()
    {
        ElfImage image;
        std::string error;
        EXPECT_EQ(image.load(launcher, error), 0) << error;
        std::string file = read_text(launcher);
        const ElfSection *streams = image.find(".qzvdump.bin");
        const ElfSection *table = image.find(".qzvdump.ptr");
        size_t pointer = image.elf_class == 2 ? 8 : 4, record = image.elf_class == 2 ? 24 : 12;
        size_t offset = file.find(streams->bytes);
        std::vector<StoredRange> ranges;
        for (size_t i = 0; i < inputs.size(); i++) {
            uint32_t size;
            memcpy(&size, table->bytes.data() + i * record + 2 * pointer, 4);
            ranges.push_back({offset, size});
            offset += size;
        }
        return ranges;
    }

    std::string copy_with(const std::string &name, size_t offset, const std::string &bytes)
    {
        std::string file = read_text(launcher);
        file.replace(offset, bytes.size(), bytes);
        write_text(scratch / name, file);
        return scratch / name;
    }
};

// A launcher that cannot be read: one line on standard error, naming it, for
// each mode, and a status that says so.
void expect_refused(const std::string &path, const std::string &why, const std::string &dir)
{
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--verify", path}, {"--inspect", path},
          {"--inspect", "--json", path}, {"--extract", path, dir}}) {
        RunResult r = run_sfxpack(args);
        EXPECT_EQ(r.exit_code, 1) << args[0] << " " << why << ": " << r.err;
        EXPECT_EQ(split_lines(r.err).size(), 1u) << args[0] << " " << why << ": " << r.err;
        EXPECT_EQ(r.err.rfind("sfxpack: " + path + ": ", 0), 0u) << why << ": " << r.err;
        EXPECT_FALSE(file_exists(dir)) << why;
    }
}

TEST_P(LauncherReading, VerifyPassesUntouchedAndNamesTheEntryOfAnyFlippedBit)
{
    RunResult clean = run_sfxpack({"--verify", launcher});
    ASSERT_EQ(clean.exit_code, 0) << clean.out << clean.err;
    std::vector<std::string> lines = split_lines(clean.out);
    ASSERT_EQ(lines.size(), inputs.size() + 2) << clean.out;
    for (size_t i = 0; i < inputs.size(); i++) {
        unsigned char digest[SHA256_SIZE];
        sha256(inputs[i].bytes.data(), inputs[i].bytes.size(), digest);
        EXPECT_EQ(lines[i + 1], "entry " + std::to_string(i) + " '" + inputs[i].name +
                                    "': ok, " + std::to_string(inputs[i].bytes.size()) +
                                    " bytes, sha256 " + sha256_hex(digest));
    }
    EXPECT_EQ(lines.back(), launcher + ": verified");

    std::string file = read_text(launcher);
    std::vector<StoredRange> ranges = stored_ranges();
    for (size_t i = 0; i < ranges.size(); i++) {
        // Every header field, points spread over the coded data and the
        // stream's last bytes, where a flip may leave every unpacked byte
        // as it was: the manifest's digest of the stored bytes catches it.
        std::vector<size_t> positions = {0, 2, 5, 8, 12};
        for (int k = 0; k <= 8; k++)
            positions.push_back(13 + (ranges[i].size - 14) * k / 8);
        positions.push_back(ranges[i].size - 2);
        for (size_t at : positions) {
            size_t offset = ranges[i].offset + at;
            std::string flipped(1, (char)(file[offset] ^ (1 << (at % 8))));
            std::string damaged = copy_with("damaged", offset, flipped);
            RunResult r = run_sfxpack({"--verify", damaged});
            EXPECT_EQ(r.exit_code, 1) << "entry " << i << " byte " << at << ":\n" << r.out;
            std::string named = "entry " + std::to_string(i) + " '" + inputs[i].name +
                                "': FAILED: ";
            for (const std::string &line : split_lines(r.out)) {
                if (line.rfind("entry ", 0) == 0) {
                    EXPECT_EQ(line.rfind(named, 0) == 0,
                              line.find(" FAILED: ") != std::string::npos)
                        << "byte " << at << " of entry " << i << ": " << line;
                }
            }
            EXPECT_NE(r.out.find(named), std::string::npos) << "byte " << at << ":\n" << r.out;
        }
    }
}

TEST_P(LauncherReading, CutShortOrForeignFilesAreRefusedInOneLine)
{
    std::string file = read_text(launcher);
    for (size_t size : {(size_t)0, (size_t)3, (size_t)40, (size_t)300, file.size() / 2,
                        file.size() - 1}) {
        write_text(scratch / "cut", file.substr(0, size));
        expect_refused(scratch / "cut", "cut at " + std::to_string(size), scratch / "out");
    }
    // The section cut short is named in the line, its name's bytes escaped.
    size_t name_at = file.find(std::string("signature") + '\0');
    ASSERT_NE(name_at, std::string::npos);
    std::string renamed = file;
    renamed[name_at + 4] = '\n';
    write_text(scratch / "renamed", renamed.substr(0, renamed.size() - 1));
    expect_refused(scratch / "renamed", "cut in a section named with a newline", scratch / "out");
    RunResult renamed_read = run_sfxpack({"--inspect", scratch / "renamed"});
    EXPECT_NE(renamed_read.err.find("sign\\x0ature"), std::string::npos) << renamed_read.err;

    write_text(scratch / "text", "#!/bin/sh\necho not a launcher\n");
    expect_refused(scratch / "text", "a script", scratch / "out");
    expect_refused(fixture_path(target(), "probe"), "a plain program", scratch / "out");
    expect_refused(scratch / "missing", "a missing file", scratch / "out");

    // The class byte says one thing, the machine field another.
    bool wide = target() == "x86_64";
    std::string other_class = copy_with("other_class", EI_CLASS, std::string(1, wide ? 1 : 2));
    expect_refused(other_class, "the other class", scratch / "out");
    RunResult r = run_sfxpack({"--verify", other_class});
    EXPECT_EQ(r.err, "sfxpack: " + other_class + ": not a launcher: a " +
                         (wide ? "32-bit ELF file for x32 (machine 62)"
                               : "64-bit ELF file for i386 (machine 3)") +
                         "; launchers are 64-bit x86_64 or 32-bit i386 files\n");
}

TEST_P(LauncherReading, HostileTablesFailNamingTheEntry)
{
    ElfImage image;
    std::string error;
    ASSERT_EQ(image.load(launcher, error), 0) << error;
    std::string file = read_text(launcher);
    const ElfSection *table = image.find(".qzvdump.ptr");
    const ElfSection *names = image.find(".qzvdump.str");
    size_t at = file.find(table->bytes), names_at = file.find(names->bytes);
    size_t pointer = image.elf_class == 2 ? 8 : 4, record = image.elf_class == 2 ? 24 : 12;
    auto number = [&](uint64_t value, size_t bytes) { return std::string((char *)&value, bytes); };

    const struct Case {
        std::string what;
        size_t offset;
        std::string bytes;
        std::string expected;  // in the verify output
    } cases[] = {
        {"data pointer", at + record, number(16, pointer),
         "entry 1 'libprobe.so': FAILED: its "},
        {"size past the end", at + 2 * record + 2 * pointer, number(0x7fffffff, 4),
         "entry 2 'data.bin': FAILED: its 2147483647 stored bytes leave .qzvdump.bin"},
        {"name pointer", at + pointer, number(names->addr + names->size + 64, pointer),
         "entry 0 '': FAILED: its name pointer leaves .qzvdump.str"},
        {"name without NUL", names_at + names->size - 1, "x",
         "entry 2 '': FAILED: its name has no NUL"},
        {"no terminator", at + 3 * record + pointer, number(names->addr, pointer),
         "no terminating record"},
        {"terminator with data", at + 3 * record, number(16, pointer),
         "table: FAILED: the terminating record after entry 2 is not all zero"},
        {"name with a slash", names_at, std::string("../x\0", 5),
         "entry 0 '../x': FAILED: entry name '../x' holds a '/' (names are single path "
         "components)"},
        {"empty name", names_at, std::string("\0", 1),
         "entry 0 '': FAILED: an entry name is empty"},
        {"dot name", names_at, std::string(".\0", 2),
         "entry 0 '.': FAILED: entry name '.' is not a file name"},
    };
    for (const Case &c : cases) {
        std::string path = copy_with("hostile", c.offset, c.bytes);
        RunResult r = run_sfxpack({"--verify", path});
        EXPECT_EQ(r.exit_code, 1) << c.what;
        EXPECT_NE((r.out + r.err).find(c.expected), std::string::npos) << c.what << ":\n"
                                                                        << r.out << r.err;
        RunResult extracted = run_sfxpack({"--extract", path, scratch / "out"});
        EXPECT_EQ(extracted.exit_code, 1) << c.what;
        EXPECT_EQ(split_lines(extracted.err).size(), 1u) << c.what << ": " << extracted.err;
        EXPECT_FALSE(file_exists(scratch / "out")) << c.what;
        RunResult inspected = run_sfxpack({"--inspect", path});
        EXPECT_EQ(inspected.exit_code, 1) << c.what << ": " << inspected.err;
        EXPECT_EQ(split_lines(inspected.err).size(), 1u) << c.what << ": " << inspected.err;
    }
}

// What --force packs is listed, but a run could not unpack it.
TEST_P(LauncherReading, ForcedLimitsFailVerifyAndExtract)
{
    std::vector<std::string> many = {"--force"};
    for (int i = 0; i < 33; i++)
        many.insert(many.end(), {"--name", "f" + std::to_string(i), scratch / "data.bin"});
    std::vector<std::string> twice = {"--force", scratch / "data.bin", scratch / "data.bin"};
    for (const auto &[args, expected] :
         {std::pair{many, std::string("table: FAILED: 33 entries: the launcher unpacks at most 32")},
          std::pair{twice, std::string("entry 1 'data.bin': FAILED: its name is also an earlier "
                                       "entry's")}}) {
        std::string forced = pack(target(), scratch / "forced", args);
        RunResult r = run_sfxpack({"--verify", forced});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
        EXPECT_EQ(run_sfxpack({"--extract", forced, scratch / "out"}).exit_code, 1);
        EXPECT_FALSE(file_exists(scratch / "out"));
    }
}

// The trees that --extract and @unpack make, under a umask that shows the
// modes: names, bytes and permission bits alike.
TEST_P(LauncherReading, ExtractGivesWhatUnpackGives)
{
    ScratchDir cwd;
    RunOptions in_cwd;
    in_cwd.cwd = cwd.path;
    RunResult unpacked = run_process({"sh", "-c", "umask 027 && exec \"$0\" @unpack", launcher},
                                     in_cwd);
    ASSERT_EQ(unpacked.exit_code, 0) << unpacked.err;
    RunResult extracted = run_process(
        {"sh", "-c", "umask 027 && exec \"$0\" --extract \"$1\" extracted", sfxpack_path(),
         launcher},
        in_cwd);
    ASSERT_EQ(extracted.exit_code, 0) << extracted.err;

    EXPECT_EQ(file_mode(cwd / "extracted"), file_mode(cwd / "probe"));
    EXPECT_EQ(list_dir(cwd / "extracted"), list_dir(cwd / "probe"));
    EXPECT_EQ(list_dir(cwd / "extracted").size(), inputs.size());
    for (const Input &input : inputs) {
        EXPECT_EQ(read_text(cwd / "extracted/" + input.name), input.bytes) << input.name;
        std::string extracted_file = cwd / "extracted/" + input.name;
        EXPECT_EQ(read_text(extracted_file), read_text(cwd / "probe/" + input.name));
        EXPECT_EQ(file_mode(extracted_file), file_mode(cwd / "probe/" + input.name))
            << input.name;
    }
    EXPECT_EQ(file_mode(cwd / "extracted/probe"), 0700u);
    EXPECT_EQ(file_mode(cwd / "extracted/data.bin"), 0640u);

    // Never into something that exists, never through a symbolic link.
    RunResult again = run_sfxpack({"--extract", launcher, cwd / "extracted"});
    EXPECT_EQ(again.exit_code, 1);
    EXPECT_EQ(again.err, "sfxpack: " + cwd / "extracted" + ": File exists\n");
    ASSERT_EQ(symlink((cwd / "elsewhere").c_str(), (cwd / "link").c_str()), 0);
    EXPECT_EQ(run_sfxpack({"--extract", launcher, cwd / "link"}).exit_code, 1);
    EXPECT_FALSE(file_exists(cwd / "elsewhere"));
}

TEST_P(LauncherReading, ExtractOfADamagedEntryLeavesNothing)
{
    std::vector<StoredRange> ranges = stored_ranges();
    std::string file = read_text(launcher);
    size_t offset = ranges[2].offset + ranges[2].size / 2;
    std::string damaged = copy_with("damaged", offset, std::string(1, (char)(file[offset] ^ 0x10)));
    RunResult r = run_sfxpack({"--extract", damaged, scratch / "out"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err.rfind("sfxpack: " + damaged + ": entry 2 'data.bin': ", 0), 0u) << r.err;
    EXPECT_FALSE(file_exists(scratch / "out"));
}

// A disk that fills up halfway: one line naming the file, and nothing left.
TEST_P(LauncherReading, ExtractOntoAFullDiskLeavesNothing)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    std::string script =
        "mount -t tmpfs -o size=48k sfxtest \"$D\" || exit 99\n"
        "\"$S\" --extract \"$L\" \"$D/out\"; status=$?\n"
        "ls -A \"$D\"; exit $status\n";
    ScratchDir disk;
    RunOptions options;
    options.set_env = {"D=" + disk.path, "S=" + sfxpack_path(), "L=" + launcher};
    RunResult r = run_process({"unshare", "-m", "--propagation", "private", "sh", "-c", script},
                              options);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "sfxpack: " + disk.path + "/out/data.bin: No space left on device\n");
}

TEST(LauncherReadingUsage, WrongCommandLinesEndWith2)
{
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--extract", "launcher"}, {"--verify"},
          {"--inspect", "a", "b"}, {"--json", "--verify", "launcher"},
          {"--extract", "--verify", "launcher", "dir"}, {"--inspect", "-o", "x", "launcher"},
          {"--no-manifest-ok", "launcher"}, {"--inspect", "--no-manifest-ok", "launcher"},
          {"--extract", "--no-manifest-ok", "launcher", "dir"}}) {
        RunResult r = run_sfxpack(args);
        EXPECT_EQ(r.exit_code, 2) << args[0] << " " << args[1];
        EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
    }
}

// The JSON is read by a real parser, and each field checked against what
// was packed.
TEST_P(LauncherReading, InspectJsonDescribesTheLauncher)
{
    RunResult r = run_sfxpack({"--inspect", "--json", launcher});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    write_text(scratch / "inspect.json", r.out);
    const char *flatten =
        "import json, sys\n"
        "d = json.load(open(sys.argv[1]))\n"
        "print(d['target'], d['manifest']['present'], d['temp_space'], len(d['entries']))\n"
        "for e in d['entries']:\n"
        "    elf = e['elf']['machine'] if e['elf'] else '-'\n"
        "    print(e['index'], e['name'], bytes.fromhex(e['name_hex']).decode(),\n"
        "          e['stored_size'], e['unpacked_size'], elf)\n";
    RunResult parsed = run_process({"python3", "-c", flatten, scratch / "inspect.json"});
    ASSERT_EQ(parsed.exit_code, 0) << parsed.err << r.out;

    std::vector<StoredRange> ranges = stored_ranges();
    // Each file in whole 4096-byte blocks, and one for their directory.
    size_t blocks = 1;
    for (const Input &input : inputs)
        blocks += (input.bytes.size() + 4095) / 4096;
    std::string expected = target() + " True " + std::to_string(blocks * 4096) + " 3\n";
    for (size_t i = 0; i < inputs.size(); i++)
        expected += std::to_string(i) + " " + inputs[i].name + " " + inputs[i].name + " " +
                    std::to_string(ranges[i].size) + " " +
                    std::to_string(inputs[i].bytes.size()) + " " +
                    (i < 2 ? target() : std::string("-")) + "\n";
    EXPECT_EQ(parsed.out, expected);
    // The glibc needs: from the manifest alone, as decoding finds them.
    const char *needs = "import json, sys\n"
                        "d = json.load(open(sys.argv[1]))\n"
                        "print([e['elf'] and e['elf']['glibc'] for e in d['entries']])\n";
    RunResult verified = run_sfxpack({"--inspect", "--verify", "--json", launcher});
    ASSERT_EQ(verified.exit_code, 0) << verified.err;
    write_text(scratch / "verified.json", verified.out);
    RunResult quick = run_process({"python3", "-c", needs, scratch / "inspect.json"});
    RunResult slow = run_process({"python3", "-c", needs, scratch / "verified.json"});
    EXPECT_EQ(quick.out, slow.out);
    EXPECT_EQ(quick.out.rfind("['GLIBC_2.", 0), 0u) << quick.out;
}

// Names are arbitrary bytes: the JSON carries them exactly, and the table
// never lets a control byte reach the terminal.
TEST_P(LauncherReading, ArbitraryNameBytesSurviveJsonAndStayOffTheTerminal)
{
    std::string name = "caf\xc3\xa9\x01\xff\"\\x";
    std::string odd = pack(target(), scratch / "odd", {"--name", name, scratch / "data.bin"});
    RunResult r = run_sfxpack({"--inspect", "--json", odd});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    write_text(scratch / "odd.json", r.out);
    RunResult parsed = run_process(
        {"python3", "-c",
         "import json, sys\n"
         "e = json.load(open(sys.argv[1]))['entries'][0]\n"
         "print(e['name'].encode('latin-1') == bytes.fromhex(e['name_hex']), e['name_hex'])\n",
         scratch / "odd.json"});
    EXPECT_EQ(parsed.out, "True 636166c3a901ff225c78\n") << parsed.err << r.out;

    RunResult human = run_sfxpack({"--inspect", odd});
    EXPECT_NE(human.out.find(" caf\\xc3\\xa9\\x01\\xff\"\\x5cx\n"), std::string::npos) << human.out;
    for (char c : human.out)
        EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << (int)(unsigned char)c;
}

// The manifest's texts are anyone's bytes too: a version or a glibc need
// that carries a newline or an escape sequence shows it as \xNN and cannot
// fake a line of the report.
TEST_P(LauncherReading, ManifestTextsReachTheTerminalEscaped)
{
    // Rewritten through the format, so that the manifest's own digest
    // holds and only the texts are hostile.
    ElfImage image;
    std::string error;
    ASSERT_EQ(image.load(launcher, error), 0) << error;
    const ElfSection *section = image.find(manifest_section_name);
    ASSERT_NE(section, nullptr);
    Manifest manifest;
    ASSERT_EQ(decode_manifest((const unsigned char *)section->bytes.data(), section->bytes.size(),
                              manifest, error), 0) << error;
    ASSERT_GE(manifest.version.size(), 4u);
    ASSERT_EQ(manifest.entries[0].glibc.substr(0, 8), "GLIBC_2.");

    // The same lengths, with a newline, an escape and a carriage return.
    std::string version = manifest.version;
    version[1] = '\n';
    version[2] = '\x1b';
    std::string glibc = manifest.entries[0].glibc;
    glibc[0] = '\x1b';
    glibc[1] = '\r';
    glibc[5] = '\n';
    manifest.version = version;
    manifest.entries[0].glibc = glibc;
    std::string file = read_text(launcher);
    file.replace(section->offset, section->size, encode_manifest(manifest));
    write_text(scratch / "faked", file);

    std::string shown_version = version.substr(0, 1) + "\\x0a\\x1b" + version.substr(3);
    std::string shown_glibc = "\\x1b\\x0d" + glibc.substr(2, 3) + "\\x0a" + glibc.substr(6);
    RunResult inspected = run_sfxpack({"--inspect", scratch / "faked"});
    EXPECT_NE(inspected.out.find("written by sfxpack " + shown_version + "\n"), std::string::npos)
        << inspected.out;
    EXPECT_NE(inspected.out.find(" " + shown_glibc + "  "), std::string::npos) << inspected.out;
    RunResult verified = run_sfxpack({"--verify", scratch / "faked"});
    EXPECT_NE(verified.out.find("manifest by sfxpack " + shown_version + "\n"), std::string::npos)
        << verified.out;
    // The raw bytes, a faked line's start among them, never get out.
    for (const std::string &out : {inspected.out, verified.out})
        for (char c : out)
            EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << (int)(unsigned char)c;
}

// An i386 launcher read where nothing can execute it: its directory is
// mounted noexec in a private mount namespace, so exec(2), the loader and
// mmap(PROT_EXEC) all refuse it, and the file is not even executable.
TEST_P(LauncherReading, NothingIsExecutedToReadIt)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting noexec needs root";
    ASSERT_EQ(chmod(launcher.c_str(), 0644), 0);
    std::string script =
        "mount --bind \"$D\" \"$D\" && mount -o remount,bind,noexec \"$D\" || exit 99\n"
        "chmod 0755 \"$D/launcher\"; \"$D/launcher\" @list && exit 98\n"
        "chmod 0644 \"$D/launcher\"\n"
        "\"$S\" --verify \"$D/launcher\" >\"$D/verify.out\" || exit 1\n"
        "\"$S\" --inspect --json \"$D/launcher\" >\"$D/inspect.out\" || exit 2\n"
        "\"$S\" --extract \"$D/launcher\" \"$D/extracted\" || exit 3\n";
    RunOptions options;
    options.set_env = {"D=" + scratch.path, "S=" + sfxpack_path()};
    RunResult r = run_process({"unshare", "-m", "--propagation", "private", "sh", "-c", script},
                              options);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(read_text(scratch / "verify.out").find(": verified\n"), std::string::npos);
    EXPECT_NE(read_text(scratch / "inspect.out").find("\"target\": \"" + target() + "\""),
              std::string::npos);
    for (const Input &input : inputs)
        EXPECT_EQ(read_text(scratch / "extracted/" + input.name), input.bytes);
}

INSTANTIATE_FOR_TARGETS(LauncherReading);

// The program of a --libc launcher names its loader and its library
// directory by absolute paths, which @unpack fills in for the directory it
// unpacks into: --extract writes the same for DIR, and makes the loader
// 0700 too, so that DIR/program runs, from any directory.
class LibcExtract : public TargetTest {
protected:
    ScratchDir scratch;
    std::string launcher;

    void SetUp() override
    {
        launcher = scratch / "probe-sfx";
        RunOptions options;
        options.unset_env = {"LD_LIBRARY_PATH"};
        RunResult r = run_process({sfxpack_path(), "--bundle", "--libc", "-o", launcher,
                                   fixture_path(target(), "probe")},
                                  options);
        ASSERT_EQ(r.exit_code, 0) << r.err;
    }

    // The program started from / with no library path: only the paths
    // written into it lead to its loader and libraries.
    RunResult run_program(const std::string &dir)
    {
        RunOptions options;
        options.cwd = "/";
        options.unset_env = {"LD_LIBRARY_PATH"};
        return run_process({dir + "/probe", "report"}, options);
    }
};

TEST_P(LibcExtract, ExtractWritesWhatUnpackWritesAndTheProgramRuns)
{
    std::string loader = target() == "x86_64" ? "ld-linux-x86-64.so.2" : "ld-linux.so.2";
    ScratchDir cwd;
    RunOptions in_cwd;
    in_cwd.cwd = cwd.path;
    ASSERT_EQ(run_process({launcher, "@unpack"}, in_cwd).exit_code, 0);
    ASSERT_EQ(rename((cwd / "probe").c_str(), (cwd / "unpacked").c_str()), 0);
    RunResult extracted = run_process({sfxpack_path(), "--extract", launcher, "probe"}, in_cwd);
    ASSERT_EQ(extracted.exit_code, 0) << extracted.err;
    std::vector<std::string> names = list_dir(cwd / "probe");
    EXPECT_EQ(names, list_dir(cwd / "unpacked"));
    EXPECT_NE(std::find(names.begin(), names.end(), loader), names.end());
    for (const std::string &name : names) {
        EXPECT_TRUE(read_text(cwd / "probe/" + name) == read_text(cwd / "unpacked/" + name))
            << name;
        EXPECT_EQ(file_mode(cwd / "probe/" + name), file_mode(cwd / "unpacked/" + name)) << name;
    }
    EXPECT_EQ(file_mode(cwd / "probe/" + loader), 0700u);
    RunResult ran = run_program(cwd / "probe");
    EXPECT_EQ(ran.exit_code, 0) << ran.err;
    EXPECT_NE(ran.out.find("\nexe=" + cwd.path + "/probe/probe\nlibrary=42\n"),
              std::string::npos)
        << ran.out;

    // An absolute DIR, elsewhere.
    std::string elsewhere = scratch / "elsewhere";
    ASSERT_EQ(run_sfxpack({"--extract", launcher, elsewhere}).exit_code, 0);
    ran = run_program(elsewhere);
    EXPECT_EQ(ran.exit_code, 0) << ran.err;
    EXPECT_NE(ran.out.find("\nexe=" + elsewhere + "/probe\n"), std::string::npos) << ran.out;
}

// The library directory is a DT_RPATH: its loader would split it at ':' and
// expand '$' tokens. Such a DIR is refused, with nothing made, and so is one
// too long for the room the program keeps.
TEST_P(LibcExtract, ADirectoryTheLoaderCannotNameIsRefused)
{
    std::string deep = scratch.path;
    while (deep.size() < 4100)
        deep += "/" + std::string(200, 'd');
    RunResult too_long = run_sfxpack({"--extract", launcher, deep});
    EXPECT_EQ(too_long.exit_code, 1);
    EXPECT_EQ(too_long.err.rfind("sfxpack: " + deep + ": the directory's path is too long for "
                                 "the packed loader's (at most ", 0), 0u) << too_long.err;
    EXPECT_EQ(split_lines(too_long.err).size(), 1u);
    EXPECT_FALSE(file_exists(scratch / std::string(200, 'd')));

    for (const char *name : {"a:b", "a$ORIGIN"}) {
        std::string dir = scratch / name;
        RunResult r = run_sfxpack({"--extract", launcher, dir});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err,
                  "sfxpack: " + dir + ": the packed loader's library path cannot hold ':' or '$'\n");
        EXPECT_FALSE(file_exists(dir));
    }
}

INSTANTIATE_FOR_TARGETS(LibcExtract);

}  // namespace
