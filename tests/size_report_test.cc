// What -v and --dry-run say about sizes, read against the files, the
// launcher's own listing and a temp directory of exactly the announced size;
// and --strip, which must leave the user's files as they were.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "elf_file.h"
#include "sfx.h"
#include "sys/spawn_process.h"

namespace {

struct Row {
    uint64_t unpacked = 0, stored = 0;
    std::string ratio, rest;  // rest: the entry's name and any note
};

// The table under the header line that starts with "unpacked", up to and
// including its total row.
std::vector<Row> size_rows(const std::string &out, bool with_stored)
{
    std::vector<Row> rows;
    bool inside = false;
    for (const std::string &line : split_lines(out)) {
        std::istringstream in(line);
        std::string first;
        in >> first;
        if (first == "unpacked") {
            inside = true;
            continue;
        }
        if (!inside)
            continue;
        Row row;
        row.unpacked = std::stoull(first);
        if (with_stored)
            in >> row.stored >> row.ratio;
        std::getline(in >> std::ws, row.rest);
        rows.push_back(row);
        if (row.rest.rfind("total of ", 0) == 0)
            break;
    }
    return rows;
}

uint64_t size_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (uint64_t)st.st_size : 0;
}

// The number in "PREFIX<number>" on the line that starts with prefix.
uint64_t number_after(const std::string &out, const std::string &prefix)
{
    for (const std::string &line : split_lines(out))
        if (line.rfind(prefix, 0) == 0)
            return std::stoull(line.substr(prefix.size()));
    return 0;
}

class SizeReport : public TargetTest {
protected:
    ScratchDir scratch;
    std::string program() { return fixture_path(target(), "probe-debug"); }
    std::string library() { return fixture_path(target(), "libprobe.so"); }
};

TEST_P(SizeReport, VerboseSizesAddUpToTheLauncherAndARunFitsTheTempSpaceAnnounced)
{
    std::string launcher = scratch / "launcher";
    RunResult r = run_sfxpack({"-v", "--target", target(), "-o", launcher, program(), library()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<Row> rows = size_rows(r.out, true);
    ASSERT_EQ(rows.size(), 3u) << r.out;

    // The stored sizes are the ones the launcher lists.
    std::vector<std::string> listed = split_lines(run_process({launcher, "@list"}).out);
    ASSERT_EQ(listed.size(), 2u);
    const std::string inputs[2] = {program(), library()};
    for (size_t i = 0; i < 2; i++) {
        EXPECT_EQ(rows[i].unpacked, size_of(inputs[i])) << rows[i].rest;
        EXPECT_EQ(std::to_string(rows[i].stored) + " " + rows[i].rest.substr(0, rows[i].rest.find(' ')),
                  listed[i].substr(listed[i].find_first_not_of(' ')));
        char ratio[32];
        snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * rows[i].stored / rows[i].unpacked);
        EXPECT_EQ(rows[i].ratio, ratio);
    }
    EXPECT_EQ(rows[2].unpacked, rows[0].unpacked + rows[1].unpacked);
    EXPECT_EQ(rows[2].stored, rows[0].stored + rows[1].stored);
    EXPECT_EQ(rows[2].rest, "total of 2 entries");
    EXPECT_NE(r.out.find("\nlauncher: " + launcher + ", " + std::to_string(size_of(launcher)) +
                         " bytes\n"),
              std::string::npos) << r.out;

    // --inspect announces the same room for the launcher as the packer did.
    uint64_t announced = number_after(r.out, "a run needs ");
    RunResult inspected = run_sfxpack({"--inspect", launcher});
    EXPECT_NE(inspected.out.find("\ntemp space: " + std::to_string(announced) +
                                 " bytes (" + std::to_string(announced / 1024) +
                                 ".0 KiB) for a run: 2 files and their directory, in "
                                 "4096-byte blocks\n"),
              std::string::npos)
        << inspected.out << r.out;

    // Only the program built with -g gets the note.
    EXPECT_GT(number_after(rows[0].rest, "probe-debug (debug sections: "), 0u) << rows[0].rest;
    EXPECT_EQ(rows[1].rest, "libprobe.so");

    // Each file in whole pages on a tmpfs: the plain sum of the sizes would
    // not be enough.
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    uint64_t space = number_after(r.out, "a run needs ");
    ASSERT_GT(space, rows[2].unpacked);
    ScratchDir disk;
    RunOptions options;
    options.set_env = {"DISK=" + disk.path, "L=" + launcher};
    RunResult ran = run_process(
        {"unshare", "-m", "--propagation", "private", "sh", "-c",
         "mount -t tmpfs -o size=" + std::to_string(space) +
             " sfxtest \"$DISK\" && TEMP=\"$DISK\" \"$L\" report"},
        options);
    EXPECT_EQ(ran.exit_code, 0) << ran.err;
    EXPECT_NE(ran.out.find("library="), std::string::npos) << ran.out;
}

TEST_P(SizeReport, DryRunGivesTheInputSizesAndWritesNothing)
{
    RunOptions options;
    options.set_env = {"TMPDIR=" + scratch.path};
    RunResult r = run_process({sfxpack_path(), "-n", "--strip", "--target", target(),
                               program(), library()},
                              options);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<Row> rows = size_rows(r.out, false);
    ASSERT_EQ(rows.size(), 3u) << r.out;
    EXPECT_EQ(rows[0].unpacked, size_of(program()));
    EXPECT_NE(rows[0].rest.find("--strip will leave them out"), std::string::npos);
    EXPECT_EQ(rows[2].unpacked, size_of(program()) + size_of(library()));
    EXPECT_EQ(rows[2].rest, "total of 2 entries; stored sizes are known after packing");
    EXPECT_GT(number_after(r.out, "a run needs "), rows[2].unpacked);
    EXPECT_EQ(list_dir(scratch.path), std::vector<std::string>{});
}

// --dry-run needs only the headers of what it plans: a sparse file of
// 256 MiB costs it no more memory than a small one.
TEST_P(SizeReport, DryRunReadsOnlyTheHeadersOfAHugeFile)
{
    const off_t huge = 256 << 20;
    std::string big = scratch / "sparse.bin";
    std::string small = scratch / "small.bin";
    write_text(big, "");
    write_text(small, std::string(4096, 'x'));
    ASSERT_EQ(truncate(big.c_str(), huge), 0);
    // The packer's own footprint differs between builds (a sanitized one
    // starts near 80 MiB): what the huge file adds is what counts.
    auto peak_kib = [&](const std::string &input) -> long {
        SpawnOptions options;
        options.output_file = scratch / "plan";
        options.error_file = scratch / "errors";
        Spawned child;
        if (spawn_start({sfxpack_path(), "-n", "--target", target(), input}, options, child))
            return -1;
        int status = 0;
        struct rusage usage;
        if (wait4(child.pid, &status, 0, &usage) != child.pid)
            return -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_text(scratch / "errors");
        return usage.ru_maxrss;
    };
    long baseline = peak_kib(small);
    long peak = peak_kib(big);
    ASSERT_GT(baseline, 0);
    ASSERT_GT(peak, 0);
    EXPECT_LT((off_t)(peak - baseline) * 1024, huge / 4)
        << "KiB at most: " << peak << ", with a small file: " << baseline;

    std::string plan = read_text(scratch / "plan");
    EXPECT_NE(plan.find("\n1 entry for " + target() + ", 0 libraries left to the system\n"),
              std::string::npos)
        << plan;
    std::vector<Row> rows = size_rows(plan, false);
    ASSERT_EQ(rows.size(), 2u) << plan;
    EXPECT_EQ(rows[1].unpacked, (uint64_t)huge);
    EXPECT_EQ(rows[1].rest, "total of 1 entry; stored sizes are known after packing");
}

TEST_P(SizeReport, StripPacksACopyWithoutDebugInformationThatStillRuns)
{
    ASSERT_EQ(mkdir((scratch / "in").c_str(), 0700), 0);
    std::string original = scratch / "in/probe-debug";
    write_text(original, read_text(program()));
    chmod(original.c_str(), 0555);
    struct stat before;
    ASSERT_EQ(stat(original.c_str(), &before), 0);
    std::string launcher = scratch / "launcher";
    RunResult r = run_sfxpack({"-v", "--strip", "--target", target(), "-o", launcher,
                               original, library()});
    ASSERT_EQ(r.exit_code, 0) << r.err;

    struct stat after;
    ASSERT_EQ(stat(original.c_str(), &after), 0);
    EXPECT_EQ(read_text(original), read_text(program()));
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

    std::vector<Row> rows = size_rows(r.out, true);
    ASSERT_EQ(rows.size(), 3u) << r.out;
    uint64_t saved = number_after(rows[0].rest, "probe-debug (stripped: ");
    EXPECT_GT(saved, 0u) << rows[0].rest;
    EXPECT_EQ(rows[0].unpacked + saved, size_of(original));
    EXPECT_EQ(rows[1].rest, "libprobe.so");  // nothing to strip: packed as it is
    EXPECT_EQ(number_after(r.out, "--strip saved "), saved) << r.out;

    RunOptions here;
    here.cwd = scratch.path;
    ASSERT_EQ(run_process({launcher, "@unpack"}, here).exit_code, 0);
    std::string unpacked = scratch / "probe-debug/probe-debug";
    EXPECT_EQ(size_of(unpacked), rows[0].unpacked);
    ElfImage image;
    std::string error;
    ASSERT_EQ(image.load(unpacked, error), 0) << error;
    for (const ElfSection &s : image.sections)
        EXPECT_NE(s.name.rfind(".debug_", 0), 0u) << s.name;
    EXPECT_EQ(read_text(scratch / "probe-debug/libprobe.so"), read_text(library()));

    RunResult ran = run_launcher(launcher, {"exit", "7"}, scratch.path);
    EXPECT_EQ(ran.exit_code, 7) << ran.err;
}

TEST_P(SizeReport, StripThatCannotRunOrFailsIsOneLineAndNoLauncher)
{
    std::string not_a_program = scratch / "not-a-program";
    write_text(not_a_program, "neither ELF nor a script\n");
    chmod(not_a_program.c_str(), 0755);
    std::string failing = scratch / "failing-strip";
    write_text(failing, "#!/bin/sh\necho \"strip: $4: file format not recognized\" >&2\nexit 1\n");
    chmod(failing.c_str(), 0755);
    std::string tmp = scratch / "tmp";
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);

    const std::string expected[2] = {
        "sfxpack: cannot run " + not_a_program +
            " (Exec format error), which --strip needs (Debian package binutils)\n",
        "sfxpack: strip could not remove the debug information of probe-debug (" +
            program() + "): strip: " + program() + ": file format not recognized\n"};
    const std::string strips[2] = {not_a_program, failing};
    for (int i = 0; i < 2; i++) {
        RunOptions options;
        options.set_env = {"SFXPACK_STRIP=" + strips[i], "TMPDIR=" + tmp};
        RunResult r = run_process({sfxpack_path(), "--strip", "--target", target(), "-o",
                                   scratch / "launcher", program(), library()},
                                  options);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, expected[i]);
        EXPECT_FALSE(file_exists(scratch / "launcher"));
        EXPECT_EQ(list_dir(tmp), std::vector<std::string>{});
    }
}

INSTANTIATE_FOR_TARGETS(SizeReport);

}  // namespace
