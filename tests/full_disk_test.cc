// A disk that fills up under the launcher: a small tmpfs in a private mount
// namespace. Whether the bytes run out inside a write or only when the file
// is closed, the launcher must say so and never report success.
#include <unistd.h>

#include <regex>

#include "sfx.h"

namespace {

class FullDisk : public TargetTest {
protected:
    ScratchDir scratch;
    ScratchDir mount_point;

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "mounting a tmpfs needs root";
    }

    // Runs script with the tmpfs mounted at $DISK and the launcher in $L.
    RunResult on_small_disk(const std::string &launcher, const std::string &size,
                            const std::string &script)
    {
        std::string body = "mount -t tmpfs -o size=" + size + " sfxtest \"$DISK\" && " + script;
        RunOptions options;
        options.set_env = {"DISK=" + mount_point.path, "L=" + launcher};
        return run_process({"unshare", "-m", "--propagation", "private", "sh", "-c", body},
                           options);
    }

    std::string launcher_with(size_t big_size)
    {
        write_text(scratch / "big", pseudo_random_bytes(big_size, 11));
        write_text(scratch / "after", "never written");
        return pack(target(), scratch / "launcher",
                    {fixture_path(target(), "probe"), scratch / "big", scratch / "after"});
    }


    void expect_unpack_to_fail(size_t big_size, const std::string &disk_size)
    {
        std::string launcher = launcher_with(big_size);
        RunResult r = on_small_disk(launcher, disk_size,
                                    "cd \"$DISK\" && \"$L\" @unpack; echo status=$?; ls probe");
        EXPECT_EQ(r.err, "big: No space left on device\n");
        EXPECT_EQ(r.out, "status=124\nbig\nprobe\n");
    }
};

TEST_P(FullDisk, WriteThatFailsInTheMiddleEndsWith124)
{
    expect_unpack_to_fail(2 << 20, "512k");
}

TEST_P(FullDisk, CloseThatFailsEndsWith124)
{
    // Small enough to sit whole in the output buffer: the disk fills up only
    // when the file is closed.
    expect_unpack_to_fail(40 << 10, "32k");
}

TEST_P(FullDisk, RunModeRemovesWhatItRecordedAndNeverStartsTheProgram)
{
    std::string launcher = launcher_with(96 << 10);
    RunResult r = on_small_disk(
        launcher, "64k",
        "TEMP=\"$DISK\" \"$L\" report; echo status=$?; cd \"$DISK\" && ls */");
    std::regex expected("big: No space left on device\n" + mount_point.path +
                        "/probe-[0-9]+: Directory not empty\n");
    EXPECT_TRUE(std::regex_match(r.err, expected)) << r.err;
    EXPECT_EQ(r.out, "status=124\nbig\n");
}

// A tree's run removes its whole work directory, the file cut short by the
// full disk and the directories made for it included.
TEST_P(FullDisk, TreeRunThatFillsTheDiskLeavesNothing)
{
    make_dirs(scratch / "data/deep");
    write_text(scratch / "data/first", "written whole");
    write_text(scratch / "data/deep/big", pseudo_random_bytes(96 << 10, 12));
    std::string launcher = pack(target(), scratch / "launcher",
                                {fixture_path(target(), "probe"), "--add", scratch / "data"});
    RunResult r = on_small_disk(
        launcher, "64k",
        "TEMP=\"$DISK\" \"$L\" report; echo status=$?; cd \"$DISK\" && ls -A");
    EXPECT_EQ(r.err, "data/deep/big: No space left on device\n");
    EXPECT_EQ(r.out, "status=124\n");
}

INSTANTIATE_FOR_TARGETS(FullDisk);

}  // namespace
