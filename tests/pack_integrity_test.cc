// What sfxpack refuses because no launcher could unpack it, and the manifest
// it writes into every launcher.
#include <elf.h>

#include <regex>

#include "elf_file.h"
#include "format/manifest.h"
#include "sfx.h"
#include "sfx_version.h"

namespace {

std::string with_header_size(std::string stream, uint64_t size)
{
    for (int i = 0; i < 8; i++)
        stream[5 + (size_t)i] = (char)(size >> (8 * i));
    return stream;
}

std::string sha256sum(const std::string &path)
{
    RunResult r = run_process({"sha256sum", path});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out.substr(0, 64);
}

class PackIntegrity : public TargetTest {
protected:
    ScratchDir scratch;

    RunResult pack_with(const std::vector<std::string> &args)
    {
        std::vector<std::string> all = {"--target", target(), "-o", scratch / "out"};
        all.insert(all.end(), args.begin(), args.end());
        return run_sfxpack(all);
    }

    // Status 2, one line that names what is wrong, and no launcher.
    void expect_refused(const RunResult &r, const std::string &line_start,
                        const std::string &reason)
    {
        EXPECT_EQ(r.exit_code, 2) << r.err;
        EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
        EXPECT_EQ(r.err.rfind("sfxpack: " + line_start, 0), 0u) << r.err;
        EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
        EXPECT_FALSE(file_exists(scratch / "out"));
    }
};

struct StreamCase {
    const char *what;
    std::string stream;
    const char *reason;
};

// Each of these used to make a launcher that failed on every run.
TEST_P(PackIntegrity, RefusesStoredStreamsThatWouldNotUnpack)
{
    std::string good = compressed(pseudo_random_bytes(20000, 9));
    const StreamCase cases[] = {
        {"size_unknown", with_header_size(good, UINT64_MAX), "does not give the unpacked size"},
        {"empty", "", "is empty"},
        {"short_of_its_size", with_header_size(good, 20001), "decode to the 20001 bytes"},
        {"past_its_size", with_header_size(good, 19999), "decode to the 19999 bytes"},
        {"trailing_bytes", good + "junk", "4 bytes after the end of its LZMA data"},
    };
    write_text(scratch / "prog", "#!/bin/sh\n");
    for (const StreamCase &c : cases) {
        SCOPED_TRACE(c.what);
        write_text(scratch / c.what, c.stream);
        expect_refused(pack_with({scratch / "prog", "--stored", scratch / c.what}),
                       scratch / c.what + ": ", c.reason);
        RunResult forced = pack_with({"--force", scratch / "prog", "--stored", scratch / c.what});
        EXPECT_EQ(forced.exit_code, 0) << forced.err;
        EXPECT_EQ(forced.err.rfind("sfxpack: warning: " + scratch / c.what + ": ", 0), 0u)
            << forced.err;
        remove_tree(scratch / "out");
    }
}

std::string with_dictionary(std::string stream, uint32_t dictionary)
{
    for (int i = 0; i < 4; i++)
        stream[1 + (size_t)i] = (char)(dictionary >> (8 * i));
    return stream;
}

// The launcher allocates the whole dictionary before it writes a byte; a
// 32-bit one cannot have 2 GiB or more of it.
TEST_P(PackIntegrity, RefusesDictionariesTheTargetsLauncherCannotAllocate)
{
    const uint32_t largest = target() == "i386" ? 0x60000000u : UINT32_MAX;
    std::string good = compressed("the stored data\n");
    write_text(scratch / "prog", "#!/bin/sh\ncat \"$(dirname \"$0\")/data\"\n");
    std::vector<uint32_t> refused;
    if (largest != UINT32_MAX)
        refused = {largest + 1, 0x80000000u, 0xC0000000u, UINT32_MAX};
    for (uint32_t dictionary : refused) {
        SCOPED_TRACE(dictionary);
        write_text(scratch / "big.lzma", with_dictionary(good, dictionary));
        expect_refused(pack_with({scratch / "prog", "--stored", "--name", "data",
                                  scratch / "big.lzma"}),
                       scratch / "big.lzma: ",
                       "dictionary of " + std::to_string(dictionary) + " bytes is more than an " +
                           target() + " launcher can allocate");
        // Forced, the launcher is written, and reading it finds the fault.
        ASSERT_EQ(pack_with({"--force", scratch / "prog", "--stored", "--name", "data",
                             scratch / "big.lzma"}).exit_code, 0);
        RunResult verified = run_sfxpack({"--verify", scratch / "out"});
        EXPECT_EQ(verified.exit_code, 1) << verified.out;
        EXPECT_NE(verified.out.find("entry 1 'data': FAILED: its dictionary of"),
                  std::string::npos) << verified.out;
        remove_tree(scratch / "out");
    }
    // The largest accepted one unpacks.
    write_text(scratch / "big.lzma", with_dictionary(good, largest));
    RunResult packed = pack_with({scratch / "prog", "--stored", "--name", "data",
                                  scratch / "big.lzma"});
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    if (largest == UINT32_MAX)
        return;  // 4 GiB of address space is the machine's to give, not the launcher's
    ScratchDir temp;
    RunResult r = run_launcher(scratch / "out", {}, temp.path);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "the stored data\n");
}

TEST_P(PackIntegrity, NamesMustFitAFileNameAndTheRunDirectoryName)
{
    write_text(scratch / "data", "x");
    std::string probe = fixture_path(target(), "probe"),
                library = fixture_path(target(), "libprobe.so");
    expect_refused(pack_with({probe, library, "--name", std::string(256, 'n'), scratch / "data"}),
                   "entry name 'nnnn", "longer than the 255 bytes");
    // NAME-PID with a 7-digit pid, and ".XXXXXX" when that name is taken.
    expect_refused(pack_with({"--name", std::string(241, 'p'), probe, library}),
                   "the program's entry name 'pppp", "7-digit process id and the suffix");

    // At the limits, the launcher runs: its directory is NAME-PID under TEMP,
    // or beside it when someone has taken that name.
    std::string program(240, 'p'), data(255, 'd');
    RunResult packed = pack_with({"--name", program, probe, library, "--name", data, scratch / "data"});
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    ScratchDir temp;
    RunResult r = run_launcher(scratch / "out", {"report"}, temp.path);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("/" + program + "-"), std::string::npos) << r.out;

    RunOptions options;
    options.set_env = {"TEMP=" + temp.path};
    // The shell takes the name for its own pid, which the launcher keeps.
    RunResult taken = run_process(
        {"sh", "-c", "mkdir \"$TEMP/" + program + "-$$\" && exec \"$0\" report", scratch / "out"},
        options);
    EXPECT_EQ(taken.exit_code, 0) << taken.err;
    EXPECT_TRUE(std::regex_search(taken.out, std::regex("/" + program + "-[0-9]+\\.[A-Za-z0-9]{6}/")))
        << taken.out;
    EXPECT_EQ(list_dir(temp.path).size(), 1u) << "only the taken name is left";
}

INSTANTIATE_FOR_TARGETS(PackIntegrity);

// --force cannot make a launcher that unpacks 33 files, so the refusal says
// what is packed and what --force would give instead.
TEST(PackerEntryCount, RefusalListsTheEntriesAndWhatForceWouldMake)
{
    ScratchDir scratch;
    std::vector<std::string> args = {"-o", scratch / "out"};
    for (int i = 0; i < 33; i++) {
        write_text(scratch / ("f" + std::to_string(i)), std::to_string(i));
        args.push_back(scratch / ("f" + std::to_string(i)));
    }
    RunResult r = run_sfxpack(args);
    EXPECT_EQ(r.exit_code, 2);
    std::vector<std::string> lines = split_lines(r.err);
    ASSERT_EQ(lines.size(), 35u) << r.err;
    EXPECT_EQ(lines[0].rfind("sfxpack: 33 entries, but a launcher can unpack at most 32", 0), 0u)
        << lines[0];
    EXPECT_NE(lines[0].find("--force the launcher could only list its entries"),
              std::string::npos) << lines[0];
    EXPECT_EQ(r.err.find("--force packs it anyway"), std::string::npos);
    EXPECT_EQ(lines[1], "entry 0: f0 <- " + scratch / "f0" + " (the program)");
    EXPECT_EQ(lines[33], "entry 32: f32 <- " + scratch / "f32" + " (given)");
    EXPECT_FALSE(file_exists(scratch / "out"));
}

// Every entry's name, unpacked size and digest, in a section that is never
// loaded; a stored stream counts by what it unpacks to.
TEST_P(PackIntegrity, ManifestDescribesWhatEachEntryUnpacksTo)
{
    std::string unpacked_stored = pseudo_random_bytes(8192, 4);
    write_text(scratch / "stored.lzma", compressed(unpacked_stored));
    write_text(scratch / "stored", unpacked_stored);
    write_text(scratch / "data", std::string(100000, 'd') + "end");
    std::string probe = fixture_path(target(), "probe"),
                library = fixture_path(target(), "libprobe.so");
    RunResult packed = pack_with({probe, library, scratch / "data", "--stored", "--name",
                                  "stored", scratch / "stored.lzma"});
    ASSERT_EQ(packed.exit_code, 0) << packed.err;

    ElfImage image;
    std::string error;
    ASSERT_EQ(image.load(scratch / "out", error), 0) << error;
    const ElfSection *section = image.find(manifest_section_name);
    ASSERT_NE(section, nullptr);
    EXPECT_EQ(section->type, (uint32_t)SHT_PROGBITS);
    EXPECT_EQ(section->flags & SHF_ALLOC, 0u);
    Manifest manifest;
    ASSERT_EQ(decode_manifest((const unsigned char *)section->bytes.data(),
                              section->bytes.size(), manifest, error), 0) << error;
    EXPECT_EQ(manifest.version, SFX_VERSION);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"probe", probe}, {"libprobe.so", library}, {"data", scratch / "data"},
        {"stored", scratch / "stored"}};
    ASSERT_EQ(manifest.entries.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        const ManifestEntry &entry = manifest.entries[i];
        EXPECT_EQ(entry.name, expected[i].first);
        EXPECT_EQ(entry.size, read_text(expected[i].second).size()) << entry.name;
        EXPECT_EQ(sha256_hex(entry.sha256), sha256sum(expected[i].second)) << entry.name;
    }
    EXPECT_EQ(sha256_hex(manifest.entries[3].stored_sha256), sha256sum(scratch / "stored.lzma"));
}

}  // namespace
