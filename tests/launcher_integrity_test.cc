// What --verify proves beyond the entries: the manifest's own text, that a
// manifest is there at all, the launcher's code, and that no dynamic
// relocation rewrites the payload table under a run. Each case damages a
// real launcher as a careless or hostile hand would and reads it back.
#include <elf.h>
#include <string.h>
#include <sys/stat.h>

#include "elf_file.h"
#include "format/manifest.h"
#include "sfx.h"
#include "sys/sha256.h"

namespace {

std::string le32(uint32_t value) { return std::string((const char *)&value, 4); }

// The runtime's note that names the manifest format it comes with.
const std::string format_note = le32(8) + le32(4) + le32(1) + std::string("sfxpack\0", 8);

class LauncherIntegrity : public TargetTest {
protected:
    ScratchDir scratch;
    std::string launcher, file;
    ElfImage image;

    void SetUp() override
    {
        write_text(scratch / "data.bin", pseudo_random_bytes(5000, 3));
        launcher = pack(target(), scratch / "launcher",
                        {fixture_path(target(), "probe"), fixture_path(target(), "libprobe.so"),
                         scratch / "data.bin"});
        file = read_text(launcher);
        std::string error;
        ASSERT_EQ(image.load(launcher, error), 0) << error;
        ASSERT_NE(image.find(manifest_section_name), nullptr);
    }

    const ElfSection &section(const std::string &name)
    {
        const ElfSection *s = image.find(name);
        EXPECT_NE(s, nullptr) << name;
        return s ? *s : image.sections.front();
    }

    std::string copy_with(const std::string &name, size_t offset, const std::string &bytes,
                          const std::string &from = "")
    {
        std::string copy = from.empty() ? file : read_text(from);
        copy.replace(offset, bytes.size(), bytes);
        write_text(scratch / name, copy);
        return scratch / name;
    }

    std::string flipped(const std::string &name, size_t offset, int bit,
                        const std::string &from = "")
    {
        std::string copy = from.empty() ? file : read_text(from);
        return copy_with(name, offset, std::string(1, (char)(copy[offset] ^ (1 << bit))), from);
    }

    Manifest manifest()
    {
        const ElfSection &s = section(manifest_section_name);
        Manifest m;
        std::string error;
        EXPECT_EQ(decode_manifest((const unsigned char *)s.bytes.data(), s.bytes.size(), m, error),
                  0)
            << error;
        return m;
    }

    // The launcher with its manifest replaced by bytes, which must keep the
    // section's size.
    std::string with_manifest(const std::string &name, const std::string &bytes)
    {
        const ElfSection &s = section(manifest_section_name);
        EXPECT_EQ(bytes.size(), s.size);
        return copy_with(name, s.offset, bytes);
    }

    // A manifest of this sfxpack's format, its version text padded so that
    // the section keeps its size.
    std::string current_format(Manifest m)
    {
        size_t now = encode_manifest(m).size(), size = section(manifest_section_name).size;
        EXPECT_LE(now, size);
        m.version += std::string(size - now, ' ');
        return encode_manifest(m);
    }

    // The same in an older format, as sfxpack wrote it before: format 1
    // without the launcher's code digest and without a digest of its own,
    // format 2 or 3 with both, and none of them with the tree's fields.
    std::string older_format(const Manifest &m, char format = '1')
    {
        std::string body = le32((uint32_t)m.entries.size());
        for (const ManifestEntry &e : m.entries) {
            uint64_t size = e.size;
            body += le32((uint32_t)e.name.size()) + e.name + std::string((const char *)&size, 8) +
                    std::string((const char *)e.sha256, SHA256_SIZE) +
                    std::string((const char *)e.stored_sha256, SHA256_SIZE) +
                    le32((uint32_t)e.glibc.size()) + e.glibc;
        }
        size_t digests = format == '1' ? 0 : 2 * SHA256_SIZE;
        size_t size = section(manifest_section_name).size;
        std::string version = m.version;
        version += std::string(size - (8 + 4 + version.size() + body.size() + digests), ' ');
        std::string bytes = std::string("SFXMAN") + format + '\0' +
                            le32((uint32_t)version.size()) + version;
        if (format == '1')
            return bytes + body;
        bytes += std::string((const char *)m.code_sha256, SHA256_SIZE) + body;
        unsigned char own[SHA256_SIZE];
        sha256(bytes.data(), bytes.size(), own);
        return bytes.append((const char *)own, SHA256_SIZE);
    }

    // The launcher's file as the sfxpack of an older format (2 or 3) made it:
    // its runtime's note names that format, and the manifest it returns has
    // the code digest of that format; empty when the note is not found.
    std::string made_as_format(int format)
    {
        size_t note = file.find(format_note + le32(MANIFEST_FORMAT));
        EXPECT_NE(note, std::string::npos);
        if (note == std::string::npos)
            return "";
        file.replace(note + format_note.size(), 4, le32((uint32_t)format));
        Sha256 code;
        for (size_t at : covered_bytes(format))
            code.update(&file[at], 1);
        Manifest m = manifest();
        code.finish(m.code_sha256);
        return older_format(m, (char)('0' + format));
    }

    // The section name table with the manifest's name changed by one bit:
    // the reader no longer finds it.
    std::string without_manifest(const std::string &name, const std::string &from = "")
    {
        const ElfSection &names = section(".shstrtab");
        size_t at = names.bytes.find(manifest_section_name);
        EXPECT_NE(at, std::string::npos);
        return flipped(name, names.offset + at + 1, 0, from);
    }

    // The ELF header's section-header fields (e_shoff; e_shentsize, e_shnum,
    // e_shstrndx), [from, to) in the file: strip rewrites them.
    std::vector<std::pair<uint64_t, uint64_t>> section_header_fields() const
    {
        if (image.elf_class == ELFCLASS64)
            return {{0x28, 0x30}, {0x3a, 0x40}};
        return {{0x20, 0x24}, {0x2e, 0x34}};
    }

    // The offsets of the launcher's code as the manifest's digest takes it
    // in: the loaded segments' bytes less the payload and the manifest, and
    // from format 3 on less the section-header fields too.
    std::vector<size_t> covered_bytes(int format)
    {
        std::vector<std::pair<uint64_t, uint64_t>> skipped;
        for (const char *name :
             {".qzvdump.str", ".qzvdump.bin", ".qzvdump.ptr", manifest_section_name})
            skipped.push_back({section(name).offset, section(name).offset + section(name).size});
        if (format >= 3)
            for (const auto &field : section_header_fields())
                skipped.push_back(field);
        std::vector<size_t> covered;
        for (const ElfSegment &segment : image.loaded)
            for (uint64_t at = segment.offset; at < segment.offset + segment.size; at++) {
                bool skip = false;
                for (const auto &range : skipped)
                    skip = skip || (at >= range.first && at < range.second);
                if (!skip)
                    covered.push_back((size_t)at);
            }
        return covered;
    }

    // As the runtime of an sfxpack from before the manifest had it: no note.
    std::string without_note(const std::string &name, const std::string &from)
    {
        size_t at = file.find(format_note);
        EXPECT_NE(at, std::string::npos);
        EXPECT_EQ(file.find(format_note, at + 1), std::string::npos);
        return flipped(name, at + format_note.size() - 2, 0, from);
    }
};

// Each checking mode fails and names the problem; --extract makes nothing.
void expect_fails(const std::string &path, const std::string &expected, const std::string &dir,
                  bool extract = true)
{
    RunResult verified = run_sfxpack({"--verify", path});
    EXPECT_EQ(verified.exit_code, 1) << verified.out << verified.err;
    EXPECT_NE(verified.out.find(expected), std::string::npos) << verified.out << verified.err;
    EXPECT_EQ(verified.out.find(": verified"), std::string::npos) << verified.out;
    RunResult inspected = run_sfxpack({"--inspect", "--verify", path});
    EXPECT_EQ(inspected.exit_code, 1) << inspected.out << inspected.err;
    EXPECT_NE(inspected.out.find("verify:     FAILED"), std::string::npos) << inspected.out;
    if (!extract)
        return;
    RunResult extracted = run_sfxpack({"--extract", path, dir});
    EXPECT_EQ(extracted.exit_code, 1) << extracted.err;
    EXPECT_EQ(split_lines(extracted.err).size(), 1u) << extracted.err;
    EXPECT_FALSE(file_exists(dir));
}

// Every byte of the manifest, the version and glibc texts included.
TEST_P(LauncherIntegrity, AnyFlipInTheManifestFailsVerify)
{
    const ElfSection &s = section(manifest_section_name);
    for (size_t i = 0; i < s.size; i++) {
        std::string path = flipped("damaged", s.offset + i, (int)(i % 8));
        RunResult r = run_sfxpack({"--verify", path});
        EXPECT_EQ(r.exit_code, 1) << "manifest byte " << i << ":\n" << r.out;
        EXPECT_NE(r.out.find("manifest: FAILED: unreadable: "), std::string::npos)
            << "manifest byte " << i << ":\n" << r.out;
    }
    expect_fails(flipped("damaged", s.offset + 13, 1), "manifest: FAILED: unreadable: ",
                 scratch / "out");
}

// A manifest rewritten with all its digests right reads back as it was: the
// helpers below change only what each case says.
TEST_P(LauncherIntegrity, ARewrittenManifestWithTheSameFactsPasses)
{
    RunResult r = run_sfxpack({"--verify", with_manifest("rewritten", current_format(manifest()))});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find(": verified"), std::string::npos) << r.out;
}

TEST_P(LauncherIntegrity, AnEntryNeedingAGlibcTheManifestDoesNotNameFails)
{
    Manifest m = manifest();
    std::string need = m.entries[0].glibc;
    ASSERT_NE(need, "") << "the probe needs some GLIBC_ version";
    m.entries[0].glibc = "";
    std::string path = with_manifest("understated", current_format(m));
    expect_fails(path, "entry 0 'probe': FAILED: it needs " + need + ", the manifest says none",
                 scratch / "out", false);
    RunResult r = run_sfxpack({"--inspect", "--verify", path});
    EXPECT_NE(r.out.find("problem: entry 0 'probe': it needs " + need +
                         ", the manifest says none"),
              std::string::npos)
        << r.out;
}

// Hiding the manifest is one bit in the section name table; the runtime's
// note, found through the program headers, still says there was one.
TEST_P(LauncherIntegrity, AHiddenManifestFailsWhateverTheFlags)
{
    std::string hidden = without_manifest("hidden");
    const std::string expected =
        "manifest: FAILED: none, yet the launcher's runtime comes with a manifest of format 4";
    expect_fails(hidden, expected, scratch / "out");
    RunResult r = run_sfxpack({"--verify", "--no-manifest-ok", hidden});
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
}

// A launcher from before the manifest fails unless that is accepted, and is
// then still decoded and checked entry by entry.
TEST_P(LauncherIntegrity, NoManifestPassesOnlyWhenAccepted)
{
    std::string old = without_note("old", without_manifest("no-manifest"));
    RunResult plain = run_sfxpack({"--verify", old});
    EXPECT_EQ(plain.exit_code, 1) << plain.out;
    EXPECT_NE(plain.out.find("manifest: FAILED: none: nothing says what the entries should "
                             "unpack to (--no-manifest-ok passes"),
              std::string::npos)
        << plain.out;
    RunResult accepted = run_sfxpack({"--verify", "--no-manifest-ok", old});
    EXPECT_EQ(accepted.exit_code, 0) << accepted.out;
    EXPECT_NE(accepted.out.find("manifest: note: none: the entries are checked only by decoding"),
              std::string::npos)
        << accepted.out;
    EXPECT_EQ(split_lines(accepted.out).back(), old + ": verified");
    RunResult inspected = run_sfxpack({"--inspect", "--verify", "--no-manifest-ok", old});
    EXPECT_EQ(inspected.exit_code, 0) << inspected.out;
    EXPECT_EQ(run_sfxpack({"--extract", old, scratch / "out"}).exit_code, 0);
    EXPECT_EQ(list_dir(scratch / "out").size(), 3u);
}

// The older format still reads, with a note on what it leaves unchecked; a
// runtime that comes with the newer one unmasks a downgraded manifest.
TEST_P(LauncherIntegrity, AnOlderFormatManifestPassesOnlyUnderAnOlderRuntime)
{
    std::string downgraded = with_manifest("downgraded", older_format(manifest()));
    expect_fails(downgraded,
                 "manifest: FAILED: format 1, yet the launcher's runtime comes with a manifest "
                 "of format 4",
                 scratch / "out");
    std::string old = without_note("old", downgraded);
    RunResult r = run_sfxpack({"--verify", old});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("manifest: note: format 1, of an older sfxpack"), std::string::npos)
        << r.out;
    EXPECT_EQ(split_lines(r.out).back(), old + ": verified");
}

// Flips spread over the loaded segments outside the payload: wherever they
// land, the check fails, and one in the code itself is named as such.
TEST_P(LauncherIntegrity, AnyFlipInTheLaunchersCodeFailsVerify)
{
    std::vector<size_t> covered = covered_bytes(MANIFEST_FORMAT);
    ASSERT_GT(covered.size(), 1000u);
    const ElfSection &text = section(".text");
    const int samples = 60;
    for (int k = 0; k < samples; k++) {
        size_t at = covered[covered.size() * (size_t)k / samples + (size_t)k];
        RunResult r = run_sfxpack({"--verify", flipped("damaged", at, k % 8)});
        EXPECT_EQ(r.exit_code, 1) << "byte " << at << ":\n" << r.out << r.err;
        EXPECT_EQ(r.out.find(": verified"), std::string::npos) << "byte " << at << ":\n" << r.out;
        if (at >= text.offset && at < text.offset + text.size) {
            EXPECT_NE(r.out.find("manifest: FAILED: the launcher's code has SHA-256 "),
                      std::string::npos)
                << "byte " << at << " in .text:\n" << r.out;
        }
    }
    size_t in_text = text.offset + text.size / 2;
    expect_fails(flipped("damaged", in_text, 3), "manifest: FAILED: the launcher's code",
                 scratch / "out");
}

// One of the launcher's own dynamic relocations turned into a relative one
// that rewrites entry 1's data pointer with entry 2's.
TEST_P(LauncherIntegrity, ARelocationOntoThePayloadTableFails)
{
    const ElfSection *relocations = nullptr;
    for (const char *name : {".rela.dyn", ".rel.dyn", ".rela.plt", ".rel.plt"})
        if (relocations == nullptr && image.find(name) && image.find(name)->size > 0)
            relocations = image.find(name);
    ASSERT_NE(relocations, nullptr) << "the launcher has dynamic relocations";
    bool wide = image.elf_class == 2, addend = relocations->type == SHT_RELA;
    size_t word = wide ? 8 : 4, record = wide ? 24 : 12;
    const ElfSection &table = section(".qzvdump.ptr");
    uint64_t target_addr = table.addr + record, entry2 = 0, relative = 8;
    memcpy(&entry2, table.bytes.data() + 2 * record, word);
    std::string rewritten = std::string((const char *)&target_addr, word) +
                            std::string((const char *)&relative, word);
    if (addend)
        rewritten += std::string((const char *)&entry2, word);
    std::string path = copy_with("relocated", relocations->offset, rewritten);
    char where[32];
    snprintf(where, sizeof where, "0x%llx", (unsigned long long)target_addr);
    expect_fails(path,
                 std::string("table: FAILED: a dynamic relocation (type 8) at ") + where +
                     " writes into .qzvdump.ptr",
                 scratch / "out");
}

// Every byte of the ELF header but the fields that locate the section
// headers: the kernel and the loader read them.
TEST_P(LauncherIntegrity, AnyFlipInTheElfHeaderOutsideItsSectionHeaderFieldsFailsVerify)
{
    size_t header = image.elf_class == ELFCLASS64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
    for (size_t at = 0; at < header; at++) {
        bool skipped = false;
        for (const auto &field : section_header_fields())
            skipped = skipped || (at >= field.first && at < field.second);
        if (skipped)
            continue;
        RunResult r = run_sfxpack({"--verify", flipped("damaged", at, (int)(at % 8))});
        EXPECT_EQ(r.exit_code, 1) << "byte " << at << ":\n" << r.out << r.err;
        EXPECT_EQ(r.out.find(": verified"), std::string::npos) << "byte " << at << ":\n" << r.out;
    }
}

// strip and objcopy rewrite the section headers and the ELF header's fields
// that locate them, which no run reads; Debian's packaging strips every
// executable it installs. The launcher keeps its manifest, verifies and
// runs, with either runtime.
TEST_P(LauncherIntegrity, AStrippedLauncherVerifiesAndRuns)
{
    std::string static_launcher =
        pack(target(), scratch / "static",
             {"--static-runtime", fixture_path(target(), "probe"),
              fixture_path(target(), "libprobe.so"), scratch / "data.bin"});
    const std::vector<std::vector<std::string>> tools = {
        {"strip"},
        {"strip", "--strip-unneeded"},
        {"objcopy", "--remove-section=.comment"},
        {"strip", "--remove-section=.comment", "--remove-section=.note", "--strip-unneeded"}};
    for (const std::string &original : {launcher, static_launcher})
        for (std::vector<std::string> argv : tools) {
            SCOPED_TRACE(argv.back() + " " + original);
            std::string copy = scratch / "stripped";
            write_text(copy, read_text(original));
            ASSERT_EQ(chmod(copy.c_str(), 0755), 0);
            argv.push_back(copy);
            RunResult stripped = run_process(argv);
            ASSERT_EQ(stripped.exit_code, 0) << stripped.err;
            EXPECT_LT(read_text(copy).size(), read_text(original).size());
            RunResult r = run_sfxpack({"--verify", copy});
            EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
            EXPECT_NE(r.out.find(", manifest by sfxpack "), std::string::npos) << r.out;
            EXPECT_EQ(split_lines(r.out).back(), copy + ": verified") << r.out;
            EXPECT_EQ(run_launcher(copy, {"exit", "7"}, scratch.path).exit_code, 7);
        }
}

// A launcher of the sfxpack before: its runtime's note names format 2, and
// its manifest's code digest takes in the whole ELF header. Made here from a
// new one by rewriting both as that sfxpack wrote them, it passes as it did
// then, a strip still fails it, and under a runtime that names format 4 it
// is a downgrade.
TEST_P(LauncherIntegrity, AFormat2LauncherIsCheckedAsItWasMade)
{
    std::string bytes = made_as_format(2);
    ASSERT_NE(bytes, "");
    std::string format2 = with_manifest("format2", bytes);

    RunResult r = run_sfxpack({"--verify", format2});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(split_lines(r.out).back(), format2 + ": verified") << r.out;

    std::string stripped = scratch / "stripped";
    write_text(stripped, read_text(format2));
    ASSERT_EQ(run_process({"strip", stripped}).exit_code, 0);
    expect_fails(stripped, "manifest: FAILED: the launcher's code has SHA-256 ", scratch / "out");

    file = read_text(launcher);
    expect_fails(with_manifest("downgraded", bytes),
                 "manifest: FAILED: format 2, yet the launcher's runtime comes with a manifest "
                 "of format 4",
                 scratch / "out");
}

// A flat launcher of the sfxpack before the tree payloads: its runtime's
// note names format 3, whose code digest is this one's, and its manifest
// lacks the tree's fields. It verifies; a flipped bit of its manifest's
// format byte makes a manifest that either fails its own digest or is a
// downgrade under that note.
TEST_P(LauncherIntegrity, AFormat3LauncherStillVerifies)
{
    std::string bytes = made_as_format(3);
    ASSERT_NE(bytes, "");
    std::string format3 = with_manifest("format3", bytes);
    RunResult r = run_sfxpack({"--verify", format3});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(split_lines(r.out).back(), format3 + ": verified") << r.out;
    r = run_sfxpack({"--inspect", format3});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;

    for (int bit = 0; bit < 8; bit++) {
        std::string bad = bytes;
        bad[6] = (char)(bad[6] ^ (1 << bit));
        r = run_sfxpack({"--verify", with_manifest("bad", bad)});
        EXPECT_EQ(r.exit_code, 1) << bit << r.out;
    }
}

INSTANTIATE_FOR_TARGETS(LauncherIntegrity);

}  // namespace
