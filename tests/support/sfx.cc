#include "sfx.h"

#include <stdlib.h>

#include <memory>

#include "pack/lzma_alone.h"

const char *const all_targets[2] = {"x86_64", "i386"};

// Every sfxpack a test starts keeps its compressed streams in a cache of the
// test's own (each test runs in a process of its own), never in the real
// ~/.cache: no test sees another's streams, and none leaves any behind.
namespace {
class PrivateStreamCache : public ::testing::Environment {
public:
    void SetUp() override
    {
        scratch = std::make_unique<ScratchDir>();
        setenv("SFXPACK_CACHE", (*scratch / "sfxpack-cache").c_str(), 1);
        unsetenv("SFXPACK_CACHE_MAX");
    }
    void TearDown() override { scratch.reset(); }

private:
    std::unique_ptr<ScratchDir> scratch;
};
::testing::Environment *const private_stream_cache =
    ::testing::AddGlobalTestEnvironment(new PrivateStreamCache);
}  // namespace

std::string compressed(const std::string &data)
{
    Bytes in(data.begin(), data.end()), out;
    std::string error;
    EXPECT_EQ(compress_lzma_alone(in, out, error), 0) << error;
    return std::string(out.begin(), out.end());
}

std::string sfxpack_path() { return SFX_BIN_DIR "/sfxpack"; }

std::string fixture_path(const std::string &target, const std::string &name)
{
    return std::string(SFX_FIXTURE_DIR) + "/" + target + "/" + name;
}

RunResult run_sfxpack(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {sfxpack_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv);
}

std::string pack(const std::string &target, const std::string &output,
                 const std::vector<std::string> &args)
{
    std::vector<std::string> all = {"--target", target, "-o", output};
    all.insert(all.end(), args.begin(), args.end());
    RunResult r = run_sfxpack(all);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return output;
}

std::string pack_probe(const std::string &target, const ScratchDir &scratch,
                       const std::vector<std::string> &extra)
{
    std::vector<std::string> args = {fixture_path(target, "probe"),
                                     fixture_path(target, "libprobe.so")};
    args.insert(args.end(), extra.begin(), extra.end());
    return pack(target, scratch / "launcher", args);
}

RunResult run_launcher(const std::string &launcher,
                       const std::vector<std::string> &args,
                       const std::string &temp, RunOptions options)
{
    std::vector<std::string> argv = {launcher};
    argv.insert(argv.end(), args.begin(), args.end());
    options.set_env.push_back("TEMP=" + temp);
    return run_process(argv, options);
}

std::string without_emulator_notes(const std::string &err)
{
    std::string kept;
    for (const std::string &line : split_lines(err))
        if (line.rfind("qemu: uncaught target signal", 0) != 0)
            kept += line + "\n";
    return kept;
}
