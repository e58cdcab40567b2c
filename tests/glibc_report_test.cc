// The oldest glibc a launcher runs on, as -v and --dry-run end with it, and
// --max-glibc refusing entries that need a newer one, for plain and --bundle
// packing. libfake_glibc's versions are named like glibc's, so what its
// program needs is known exactly, whatever this machine's glibc.
#include <elf.h>

#include <algorithm>
#include <regex>

#include "sfx.h"

namespace {

const size_t npos = std::string::npos;

std::string last_line(const std::string &out)
{
    std::vector<std::string> lines = split_lines(out);
    return lines.empty() ? "" : lines.back();
}

class GlibcReport : public TargetTest {
protected:
    ScratchDir scratch;
    std::string fixture(const std::string &name) const
    {
        return fixture_path(target(), "glibc/" + name);
    }
};

TEST_P(GlibcReport, ReportEndsWithTheNewestNeedOrTheLaunchersOwnFloor)
{
    const std::string newest =
        "runs on glibc 2.100 or newer: newest needs ver_newest@GLIBC_2.100";
    RunResult plain = run_sfxpack({"--target", target(), "-n", fixture("newest"),
                                   fixture("libfake_glibc.so.1")});
    EXPECT_EQ(plain.exit_code, 0) << plain.err;
    EXPECT_EQ(last_line(plain.out), newest) << plain.out;

    RunResult bundled = run_sfxpack({"--bundle", "-v", "-o", scratch / "out", fixture("newest")});
    ASSERT_EQ(bundled.exit_code, 0) << bundled.err;
    EXPECT_EQ(last_line(bundled.out), newest) << bundled.out;

    // Without section headers, the loader's DT_VERNEED still tells.
    std::string bytes = read_text(fixture("newest"));
    bool wide = bytes[EI_CLASS] == ELFCLASS64;
    std::fill_n(&bytes[wide ? 0x28 : 0x20], wide ? 8 : 4, '\0');  // e_shoff
    std::fill_n(&bytes[wide ? 0x3c : 0x30], 4, '\0');             // e_shnum, e_shstrndx
    write_text(scratch / "bare", bytes);
    RunResult bare = run_sfxpack({"--target", target(), "-n", scratch / "bare"});
    EXPECT_EQ(last_line(bare.out), "runs on glibc 2.100 or newer: bare needs GLIBC_2.100");

    std::string floor = target() == "i386" ? "2.2" : "2.2.5";
    RunResult alone =
        run_sfxpack({"--target", target(), "-n", fixture_path(target(), "bundle/static")});
    EXPECT_EQ(last_line(alone.out),
              "runs on glibc " + floor + " or newer: nothing packed needs more than the "
              "launcher itself");
}

// A static launcher starts on the oldest Linux that its C library's start
// file names, with or without a C library, planned or packed alike; what its
// entries need of glibc keeps its line, and --max-glibc holds only them.
TEST_P(GlibcReport, StaticRuntimeNamesTheKernelAndKeepsTheEntriesNeeds)
{
    const std::string anywhere = "Linux [0-9]+\\.[0-9.]+ or newer, with or without a C library";
    std::string program = fixture_path(target(), "bundle/static");
    RunResult planned = run_sfxpack({"--target", target(), "--static-runtime", "-n", program});
    EXPECT_TRUE(std::regex_match(last_line(planned.out), std::regex("runs on " + anywhere)))
        << planned.out;
    RunResult packed = run_sfxpack({"--target", target(), "--static-runtime", "--max-glibc",
                                    "2.1", "-v", "-o", scratch / "out", program});
    EXPECT_EQ(packed.exit_code, 0) << packed.err;
    EXPECT_EQ(last_line(packed.out), last_line(planned.out));

    RunResult needing = run_sfxpack({"--static-runtime", "--bundle", "-n", fixture("newest")});
    EXPECT_TRUE(std::regex_match(
        last_line(needing.out),
        std::regex("runs on glibc 2\\.100 or newer: newest needs ver_newest@GLIBC_2\\.100 "
                   "\\(the launcher itself starts on " + anywhere + "\\)")))
        << needing.out;
    RunResult refused = run_sfxpack({"--static-runtime", "--bundle", "--max-glibc", "2.99",
                                     "-n", fixture("newest")});
    EXPECT_EQ(refused.exit_code, 2);
}

TEST_P(GlibcReport, MaxGlibcRefusesNewerNeedsBeforeWritingAnything)
{
    // A program built here asks for this machine's glibc (2.34 or newer).
    RunResult here = run_sfxpack({"--target", target(), "--max-glibc", "2.31", "-o",
                                  scratch / "out", fixture_path(target(), "probe"),
                                  fixture_path(target(), "libprobe.so")});
    EXPECT_EQ(here.exit_code, 2);
    EXPECT_EQ(split_lines(here.err).size(), 1u) << here.err;
    EXPECT_EQ(here.err.rfind("sfxpack: --max-glibc 2.31, but probe needs glibc 2.", 0), 0u)
        << here.err;
    EXPECT_NE(here.err.find("@GLIBC_2."), npos) << here.err;

    // 2.100 is newer than 2.99.
    RunResult bundled = run_sfxpack({"--bundle", "--max-glibc", "2.99", "-o", scratch / "out",
                                     fixture("newest")});
    EXPECT_EQ(bundled.exit_code, 2);
    EXPECT_NE(bundled.err.find(", but newest needs glibc 2.100 (ver_newest@GLIBC_2.100);"),
              npos) << bundled.err;
    EXPECT_EQ(list_dir(scratch.path), std::vector<std::string>{});

    RunResult enough = run_sfxpack({"--bundle", "--max-glibc", "2.100", "-o",
                                    scratch / "out", fixture("newest")});
    EXPECT_EQ(enough.exit_code, 0) << enough.err;
    EXPECT_EQ(run_launcher(scratch / "out", {}, scratch.path).out, "99 100\n");

    for (const char *bad : {"2", "2.x", "2..3", "2.31.", ""}) {
        RunResult r = run_sfxpack({"--max-glibc", bad, "-n", fixture("newest")});
        EXPECT_EQ(r.exit_code, 2) << bad;
        EXPECT_NE(r.err.find("--max-glibc takes a glibc release"), npos) << r.err;
    }
}

// A --stored ELF entry needs what it unpacks to needs: the report, the
// check and the manifest read it through the stream.
TEST_P(GlibcReport, StoredEntriesCountAsWhatTheyUnpackTo)
{
    write_text(scratch / "prog", "#!/bin/sh\n");
    write_text(scratch / "newest.lzma", compressed(read_text(fixture("newest"))));
    const std::vector<std::string> stored = {"--stored", "--name", "newest",
                                             scratch / "newest.lzma"};
    std::vector<std::string> args = {"--target", target(), "-n", scratch / "prog"};
    args.insert(args.end(), stored.begin(), stored.end());
    RunResult report = run_sfxpack(args);
    EXPECT_EQ(report.exit_code, 0) << report.err;
    EXPECT_EQ(last_line(report.out),
              "runs on glibc 2.100 or newer: newest needs ver_newest@GLIBC_2.100");

    args = {"--target", target(), "--max-glibc", "2.99", "-o", scratch / "out",
            scratch / "prog"};
    args.insert(args.end(), stored.begin(), stored.end());
    RunResult refused = run_sfxpack(args);
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_EQ(split_lines(refused.err).size(), 1u) << refused.err;
    EXPECT_NE(refused.err.find(", but newest needs glibc 2.100 (ver_newest@GLIBC_2.100);"),
              npos) << refused.err;
    EXPECT_FALSE(file_exists(scratch / "out"));

    // Packed, --inspect shows the manifest's record of that need.
    args[3] = "2.100";
    ASSERT_EQ(run_sfxpack(args).exit_code, 0);
    RunResult shown = run_sfxpack({"--inspect", scratch / "out"});
    EXPECT_EQ(shown.exit_code, 0) << shown.err;
    std::vector<std::string> lines = split_lines(shown.out);
    auto row = std::find_if(lines.begin(), lines.end(), [](const std::string &line) {
        return line.size() > 7 && line.compare(line.size() - 7, 7, " newest") == 0;
    });
    ASSERT_NE(row, lines.end()) << shown.out;
    EXPECT_NE(row->find("GLIBC_2.100"), npos) << *row;
}

// GLIBCXX_/CXXABI_ needs matter only while libstdc++ comes from the system.
TEST_P(GlibcReport, SystemLibstdcxxGetsALineOfItsOwn)
{
    const std::string cxx = "runs on a system libstdc++ with GLIBCXX_3.4";
    for (bool bundle : {false, true}) {
        std::vector<std::string> args = {"--target", target(), "-n", fixture("cxxprobe")};
        if (bundle)
            args.insert(args.begin(), {"--bundle", "--exclude", "libstdc++*"});
        RunResult r = run_sfxpack(args);
        std::vector<std::string> lines = split_lines(r.out);
        ASSERT_GE(lines.size(), 2u) << r.err;
        EXPECT_EQ(lines[lines.size() - 2].rfind("runs on glibc 2.", 0), 0u) << r.out;
        EXPECT_EQ(lines.back().rfind(cxx, 0), 0u) << r.out;
        EXPECT_NE(lines.back().find(" or newer: cxxprobe needs "), npos) << r.out;
    }
    RunResult bundled = run_sfxpack({"--bundle", "-n", fixture("cxxprobe")});
    EXPECT_EQ(last_line(bundled.out).rfind("runs on glibc 2.", 0), 0u) << bundled.out;
}

// The version needs come from untrusted files: damaged ones, cut short or
// with links that point anywhere, are passed over without harm (the
// sanitizer build of the packer runs this too).
TEST_P(GlibcReport, DamagedObjectsAreReadWithoutHarm)
{
    std::vector<std::string> sources = {read_text(fixture("newest")),
                                        read_text(fixture("libfake_glibc.so.1")),
                                        read_text(fixture("cxxprobe"))};
    std::vector<std::string> args = {"--target", target(), "--force", "-n"};
    unsigned state = 12345;
    auto next = [&state]() { return (state = state * 1103515245u + 12345u) >> 8; };
    for (int i = 0; i < 150; i++) {
        std::string bytes = sources[(size_t)i % sources.size()];
        // The headers and the dynamic tables lie in the first 4 KiB, the
        // section headers at the end.
        for (unsigned k = 0, n = 1 + next() % 12; k < n; k++) {
            size_t at = next() % 2 ? next() % 4096 : bytes.size() - 1 - next() % 2048;
            bytes[at] = (char)next();
        }
        if (i % 10 == 9)
            bytes.resize(next() % bytes.size());
        std::string path = scratch / ("damaged" + std::to_string(i));
        write_text(path, bytes);
        args.push_back(path);
    }
    RunResult r = run_sfxpack(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("\nruns on glibc 2."), npos) << r.out;
}

INSTANTIATE_FOR_TARGETS(GlibcReport);

}  // namespace
