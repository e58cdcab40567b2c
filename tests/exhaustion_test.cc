// A stored stream whose header asks for a 4 GiB dictionary: the decoder
// allocates the whole dictionary up front, so where memory runs out first the
// run must end on one line naming the entry, not crash. The fuzzer leaves
// such headers out (they cost seconds each under AddressSanitizer), so this
// is where that path is tested.
#include "pack/lzma_alone.h"
#include "sfx.h"

namespace {

class Exhaustion : public TargetTest {
protected:
    ScratchDir scratch;
};

TEST_P(Exhaustion, ADictionaryThatCannotBeAllocatedEndsTheRunWithOneLine)
{
    std::string data = "data that needs no more than the smallest dictionary\n";
    Bytes stream;
    std::string error;
    ASSERT_EQ(compress_lzma_alone(Bytes(data.begin(), data.end()), stream, error), 0);
    for (int i = 1; i <= 4; i++)
        stream[(size_t)i] = 0xff;
    write_text(scratch / "huge", std::string(stream.begin(), stream.end()));
    std::string launcher =
        pack(target(), scratch / "launcher", {"--force", fixture_path(target(), "probe"), "--stored", scratch / "huge"});

    // An i386 process cannot have 4 GiB; an x86_64 one is held to 1 GiB of
    // address space.
    std::vector<std::string> argv = {launcher, "report"};
    if (target() == "x86_64") {
#ifdef SFX_SANITIZED
        GTEST_SKIP() << "AddressSanitizer cannot start under an address-space limit";
#endif
        argv.insert(argv.begin(), {"prlimit", "--as=1073741824", "--"});
    }
    RunOptions options;
    options.set_env = {"TEMP=" + scratch.path};
    RunResult r = run_process(argv, options);
    EXPECT_EQ(r.exit_code, 124) << r.err;
    std::vector<std::string> lines = split_lines(r.err);
    ASSERT_EQ(lines.size(), 2u) << r.err;
    EXPECT_EQ(lines[0], "huge: unable to set LZMA decompression properties");
    // The file opened for it stays, empty, and keeps the directory.
    EXPECT_NE(lines[1].find("/probe-"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_FOR_TARGETS(Exhaustion);

}  // namespace
