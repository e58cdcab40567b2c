// A packer ended by a signal leaves nothing behind: no temporary directory,
// no half-made launcher beside the output, no helper still running, and the
// output as it was; and it dies of that signal. The compiler driver is a
// script that waits for the test, so that the signal comes while the
// temporary files exist and a helper runs, whatever the machine's speed.
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sfx.h"

namespace {

const char waiting_cc[] =
    "#!/bin/sh\n"
    "echo $$ > \"$MARK/helper.pid\"\n"
    "while [ ! -e \"$MARK/go\" ]; do sleep 0.05; done\n"
    "exec cc \"$@\"\n";

struct PackScene {
    ScratchDir scratch;
    RunOptions options;

    PackScene()
    {
        write_text(scratch / "cc", waiting_cc);
        chmod((scratch / "cc").c_str(), 0755);
        mkdir((scratch / "tmp").c_str(), 0700);
        mkdir((scratch / "out").c_str(), 0700);
        write_text(scratch / "out/launcher", "previous launcher");
        options.set_env = {"MARK=" + scratch.path, "SFXPACK_CC=" + (scratch / "cc"),
                           "TMPDIR=" + (scratch / "tmp")};
    }

    // Waits for the helper to start; returns its pid, or -1 when the packer
    // ended first.
    int helper_pid(const Started &packer)
    {
        for (;;) {
            std::string pid = read_text(scratch / "helper.pid");
            if (!pid.empty() && pid.back() == '\n')
                return std::stoi(pid);
            if (kill(packer.pid, 0) != 0)
                return -1;
            usleep(20000);
        }
    }

    void expect_nothing_left(int helper)
    {
        EXPECT_EQ(list_dir(scratch / "tmp"), std::vector<std::string>{});
        EXPECT_EQ(list_dir(scratch / "out"), std::vector<std::string>{"launcher"});
        EXPECT_EQ(read_text(scratch / "out/launcher"), "previous launcher");
        errno = 0;
        EXPECT_TRUE(helper > 0 && kill(helper, 0) != 0 && errno == ESRCH)
            << "helper " << helper << " still runs";
    }
};

class PackKilled : public ::testing::TestWithParam<int> {};

TEST_P(PackKilled, WhileItsHelperRunsLeavesNothingAndDiesOfTheSignal)
{
    for (const char *target : all_targets) {
        SCOPED_TRACE(target);
        PackScene scene;
        Started packer = start_process(
            {sfxpack_path(), "--no-cache", "--target", target, "-o",
             scene.scratch / "out/launcher", fixture_path(target, "probe"),
             fixture_path(target, "libprobe.so")},
            scene.options, scene.scratch.path);
        ASSERT_GT(packer.pid, 0);
        int helper = scene.helper_pid(packer);
        ASSERT_GT(helper, 0) << read_text(packer.err_path);
        // The scene is set: a temporary directory, and the launcher's
        // temporary file beside the output.
        EXPECT_EQ(list_dir(scene.scratch / "tmp").size(), 1u);
        EXPECT_EQ(list_dir(scene.scratch / "out").size(), 2u);
        ASSERT_EQ(kill(packer.pid, GetParam()), 0);
        RunResult r = wait_process(packer);
        EXPECT_EQ(r.term_signal, GetParam()) << r.exit_code << " " << r.err;
        scene.expect_nothing_left(helper);
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, PackKilled, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto &info) {
                             return std::string(info.param == SIGINT    ? "SIGINT"
                                                : info.param == SIGTERM ? "SIGTERM"
                                                                        : "SIGHUP");
                         });

// `sfxpack -v ... | head -1`: the reader has gone by the time the report
// after linking is written. Bundling adds the directory of patched copies.
TEST(PackKilledByPipe, ReaderThatLeavesEndsTheBundlingPackerWithNothingLeft)
{
    for (const char *target : all_targets) {
        SCOPED_TRACE(target);
        PackScene scene;
        std::string program = fixture_path(target, "glibc/newest");
        RunOptions options = scene.options;
        options.set_env.push_back("P=" + sfxpack_path());
        options.set_env.push_back("O=" + (scene.scratch / "out/launcher"));
        options.set_env.push_back("F=" + program);
        std::string script =
            "\"$P\" --no-cache --bundle -v -o \"$O\" \"$F\" | "
            "{ head -1; exec 0<&-; touch \"$MARK/go\"; }; echo \"${PIPESTATUS[0]}\" >&2";
        RunResult r = run_process({"bash", "-c", script}, options);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out.rfind("entry 0: newest <- ", 0), 0u) << r.out;
        EXPECT_EQ(r.err, std::to_string(128 + SIGPIPE) + "\n");
        std::string pid = read_text(scene.scratch / "helper.pid");
        scene.expect_nothing_left(pid.empty() ? -1 : std::stoi(pid));
    }
}

}  // namespace
