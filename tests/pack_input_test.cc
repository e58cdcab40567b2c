// What sfxpack reads of its inputs, watched from outside: each file is opened
// once to learn what the plan, the reports, --strip and the manifest need of
// it, and once more to pack it, however many of those ask; a file that
// changes in between, or is cut short while it is compressed, is refused
// rather than packed as something other than what was reported.
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>

#include "sfx.h"

namespace {

bool strace_works()
{
    RunResult r = run_process({"strace", "-f", "-qq", "-o", "/dev/null", "true"});
    return r.exit_code == 0;
}

// The successful openat calls for reading made by the packer's own threads,
// per path, from an `strace -f` log: the helpers it starts (cc, patchelf,
// strip, ldconfig) are told apart by the program they execute.
std::map<std::string, int> own_read_opens(const std::string &log)
{
    std::map<std::string, bool> helper;
    std::vector<std::pair<std::string, std::string>> calls;  // pid, line
    std::string first;
    for (const std::string &line : split_lines(log)) {
        std::istringstream in(line);
        std::string pid;
        in >> pid;
        if (first.empty())
            first = pid;
        if (line.find(" execve(") != std::string::npos && pid != first)
            helper[pid] = true;
        calls.push_back({pid, line});
    }
    std::map<std::string, int> opens;
    for (const auto &c : calls) {
        const std::string &line = c.second;
        size_t at = line.find(" openat(AT_FDCWD, \"");
        if (helper.count(c.first) || at == std::string::npos ||
            line.find("O_WRONLY") != std::string::npos ||
            line.find("O_RDWR") != std::string::npos || line.find(" = -1 ") != std::string::npos)
            continue;
        size_t from = at + 19;
        opens[line.substr(from, line.find('"', from) - from)]++;
    }
    return opens;
}

class PackInput : public TargetTest {
protected:
    ScratchDir scratch;
    std::string in = scratch / "in";
    std::string tmp = scratch / "tmp";

    void SetUp() override
    {
        RunOptions options;
        options.cwd = scratch.path;
        const char script[] = "mkdir in tmp && cp -a \"$1\"/. in/ && cp \"$2\" \"$3\" in/";
        RunResult r = run_process({"sh", "-ec", script, "sh", fixture_path(target(), "bundle"),
                                   fixture_path(target(), "probe-debug"),
                                   fixture_path(target(), "libprobe.so")},
                                  options);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        write_text(in + "/table.dat", pseudo_random_bytes(5000, 7));
        write_text(in + "/stored.lzma", compressed(read_text(fixture_path(target(), "probe"))));
    }

    // sfxpack with args, TMPDIR inside the scratch directory and the
    // libraries found in in/, under strace when traced is given.
    RunResult sfxpack(const std::vector<std::string> &args, const std::vector<std::string> &env,
                      const std::string &traced = "")
    {
        std::vector<std::string> argv = {sfxpack_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        if (!traced.empty())
            argv = under_strace({"-f", "-qq", "-e", "trace=openat,execve", "-o", traced}, argv);
        RunOptions options;
        options.set_env = {"TMPDIR=" + tmp, "LD_LIBRARY_PATH=" + in};
        options.set_env.insert(options.set_env.end(), env.begin(), env.end());
        RunResult r = run_process(argv, options);
        EXPECT_EQ(list_dir(tmp), std::vector<std::string>{}) << "temporary files left";
        return r;
    }

    // A stand-in for a helper that runs it and then changes path: the
    // moment between the packer's reading of path and its packing of it.
    std::string changing(const std::string &helper, const std::string &change)
    {
        std::string script = scratch / ("changing-" + helper);
        write_text(script, "#!/bin/sh\n" + helper + " \"$@\" || exit\n" + change + "\n");
        chmod(script.c_str(), 0755);
        return script;
    }
};

TEST_P(PackInput, EachFileIsOpenedOnceToBeKnownAndOnceMoreToBePacked)
{
    if (!strace_works())
        GTEST_SKIP() << "strace cannot trace here";
    // Every report, --strip and a --stored stream; then a bundle, whose
    // files are read to plan it and whose copies are new inputs.
    const std::vector<std::vector<std::string>> packs = {
        {"-v", "--strip", "--target", target(), "-o", scratch / "plain", in + "/probe-debug",
         in + "/libprobe.so", in + "/table.dat", "--stored", in + "/stored.lzma"},
        {"--bundle", "-v", "-o", scratch / "bundled", "--include", in + "/table.dat",
         "--include", in + "/libbun_plugin.so", in + "/chain"},
    };
    const std::vector<std::vector<std::string>> inputs = {
        {"probe-debug", "libprobe.so", "table.dat", "stored.lzma"},
        {"chain", "libbun_a.so.1", "libbun_b.so.1", "libbun_common.so.1", "libbun_extra.so.1",
         "libbun_plugin.so", "table.dat"},
    };
    for (size_t k = 0; k < packs.size(); k++) {
        std::string log = scratch / "strace.log";
        RunResult r = sfxpack(packs[k], {}, log);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        std::map<std::string, int> opens = own_read_opens(read_text(log));
        for (const std::string &name : inputs[k])
            EXPECT_GE(opens[in + "/" + name], 1) << name << " was never read";
        // The inputs, their copies, and the launcher the packer reads back.
        for (const auto &o : opens) {
            if (o.first.rfind(scratch.path + "/", 0) != 0)
                continue;
            EXPECT_LE(o.second, 2) << o.first << " opened " << o.second << " times";
        }
    }
}

TEST_P(PackInput, AFileChangedAfterItWasReadIsRefused)
{
    const std::string refused = ": changed since sfxpack read it; nothing written\n";
    // Grown after the plan read it, before it is compressed.
    std::string grow = changing("strip", "echo x >>" + in + "/table.dat");
    RunResult grown = sfxpack({"--strip", "--target", target(), "-o", scratch / "out",
                               in + "/probe-debug", in + "/table.dat"},
                              {"SFXPACK_STRIP=" + grow});
    EXPECT_EQ(grown.exit_code, 1);
    EXPECT_EQ(grown.err, "sfxpack: " + in + "/table.dat" + refused);
    EXPECT_FALSE(file_exists(scratch / "out"));

    // Only its time changed, under strip, which reads it for itself.
    RunResult touched = sfxpack(
        {"--strip", "--target", target(), "-o", scratch / "out", in + "/probe-debug"},
        {"SFXPACK_STRIP=" + changing("strip", "touch -d 2001-02-03 \"$4\"")});
    EXPECT_EQ(touched.exit_code, 1);
    EXPECT_EQ(touched.err, "sfxpack: " + in + "/probe-debug" + refused);
    EXPECT_FALSE(file_exists(scratch / "out"));

    // A library the bundle planned with, touched while the program's copy
    // is patched: its own copy would not be what the plan read.
    RunResult bundled = sfxpack(
        {"--bundle", "-o", scratch / "out", in + "/chain"},
        {"SFXPACK_PATCHELF=" +
         changing("patchelf", "touch -d 2001-02-03 " + in + "/libbun_common.so.1")});
    EXPECT_EQ(bundled.exit_code, 1);
    EXPECT_EQ(bundled.err, "sfxpack: " + in + "/libbun_common.so.1" + refused);
    EXPECT_FALSE(file_exists(scratch / "out"));
}

INSTANTIATE_FOR_TARGETS(PackInput);

// Whether the process has not ended yet (nor become a zombie, which kill
// would still find).
bool running(int pid)
{
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// A file cut short by another program while the packer compresses it: the
// kernel stops the reader of the mapping (SIGBUS), and the packer says so on
// one line instead of dying of it and leaving its temporary files. When the
// cut comes before the compressor maps the file, the same line follows.
TEST(PackInputCut, AFileCutShortWhileItIsCompressedIsRefused)
{
    ScratchDir scratch;
    std::string input = scratch / "big.dat";
    std::string tmp = scratch / "tmp";
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    // Compressing this much at the best level takes long enough for the
    // cut to land first; the cache's directory, made just before, says
    // that the file has been read.
    write_text(input, pseudo_random_bytes(32 << 20, 11));
    RunOptions options;
    options.set_env = {"TMPDIR=" + tmp, "SFXPACK_CACHE=" + scratch / "cache"};
    Started started = start_process({sfxpack_path(), "-9", "-o", scratch / "out", input},
                                    options, scratch.path);
    ASSERT_GT(started.pid, 0);
    while (!file_exists(scratch / "cache") && running(started.pid))
        usleep(10000);
    ASSERT_EQ(truncate(input.c_str(), 4096), 0);
    RunResult r = wait_process(started);
    EXPECT_EQ(r.term_signal, 0);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "sfxpack: " + input + ": changed since sfxpack read it; nothing written\n");
    EXPECT_FALSE(file_exists(scratch / "out"));
    EXPECT_EQ(list_dir(tmp), std::vector<std::string>{});
}

}  // namespace
