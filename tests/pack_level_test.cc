// Levels and the progress line: every level's launcher unpacks its files
// exactly, with the same stream header; the line shows on a terminal only.
#include <algorithm>

#include "elf_file.h"
#include "cli/pack_options.h"
#include "format/entry_name.h"
#include "sfx.h"

namespace {

class PackLevel : public TargetTest {
protected:
    ScratchDir scratch;
    std::vector<std::string> inputs;

    void SetUp() override
    {
        std::string text;
        for (int i = 0; text.size() < (256u << 10); i++)
            text += "line " + std::to_string(i * 7919 % 1013) + " of a log that repeats\n";
        write_text(scratch / "data", text + pseudo_random_bytes(32 << 10, 9));
        inputs = {fixture_path(target(), "probe"), scratch / "data",
                  fixture_path(target(), "libprobe.so")};
    }

    std::string pack_at(const std::string &name, const std::vector<std::string> &level)
    {
        std::vector<std::string> args = level;
        args.push_back("--no-cache");
        args.insert(args.end(), inputs.begin(), inputs.end());
        return read_text(pack(target(), scratch / name, args));
    }

    // The stored streams, back to back.
    std::string streams(const std::string &launcher)
    {
        ElfImage image;
        std::string error;
        EXPECT_EQ(image.load(scratch / launcher, error), 0) << error;
        const ElfSection *bin = image.find(".qzvdump.bin");
        return bin == nullptr ? std::string() : bin->bytes;
    }
    // The first entry's stream header: properties, dictionary, size.
    std::string header(const std::string &launcher) { return streams(launcher).substr(0, 13); }
};

TEST_P(PackLevel, EveryLevelUnpacksExactlyWithTheSameHeader)
{
    std::string best = pack_at("default", {});
    std::string expected_header = header("default");
    EXPECT_EQ(expected_header.substr(0, 5), std::string("\x5d\x00\x00\x00\x01", 5));
    std::vector<std::string> launchers;
    for (int level = 0; level <= 9; level++) {
        std::string name = "level" + std::to_string(level);
        launchers.push_back(pack_at(name, {"-" + std::to_string(level)}));
        EXPECT_EQ(header(name), expected_header) << name;

        ScratchDir out;
        RunResult r = run_process({scratch / name, "@unpack"}, {{}, {}, out.path});
        ASSERT_EQ(r.exit_code, 0) << name << ": " << r.err;
        for (size_t i = 0; i < inputs.size(); i++)
            EXPECT_TRUE(read_text(out / ("probe/" + base_name(inputs[i]))) ==
                        read_text(inputs[i]))
                << name << ": " << inputs[i];
        RunResult run = run_launcher(scratch / name, {}, out.path);
        EXPECT_NE(run.out.find("library=42\n"), std::string::npos) << name << ": " << run.err;
    }
    EXPECT_TRUE(launchers[9] == best);
    EXPECT_TRUE(pack_at("long", {"--level", "1"}) == launchers[1]);
    // The levels do differ in effort: the fastest packs larger.
    EXPECT_GT(streams("level0").size(), streams("level9").size());
}

INSTANTIATE_FOR_TARGETS(PackLevel);

// Runs command under a pseudo-terminal; what the terminal received.
RunResult on_terminal(const std::string &command)
{
    return run_process({"script", "-qec", command, "/dev/null"});
}

TEST(ProgressLine, ShowsOnATerminalAndIsErased)
{
    ScratchDir scratch;
    write_text(scratch / "a", pseudo_random_bytes(200 << 10, 1));
    write_text(scratch / "b", pseudo_random_bytes(100 << 10, 2));
    std::string command = sfxpack_path() + " --no-cache -o " + (scratch / "out") + " " +
                          (scratch / "a") + " " + (scratch / "b");
    RunResult shown = on_terminal(command);
    ASSERT_EQ(shown.exit_code, 0) << shown.out;
    EXPECT_EQ(shown.out.find("\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("\rsfxpack: compressing 0/2 files, 0.0/0.3 MB, 0%, 0:00"),
              std::string::npos)
        << shown.out;
    // Every drawing starts at the line's beginning, and the last one is
    // blanks that end where the longest drawing ended.
    size_t last = shown.out.rfind('\r', shown.out.size() - 2);
    ASSERT_NE(last, std::string::npos);
    EXPECT_EQ(shown.out.back(), '\r');
    std::string blanks = shown.out.substr(last + 1, shown.out.size() - last - 2);
    EXPECT_EQ(blanks.find_first_not_of(' '), std::string::npos) << shown.out;
    size_t longest = 0;
    for (size_t at = 0; (at = shown.out.find("\rsfxpack", at)) != std::string::npos; at++)
        longest = std::max(longest, shown.out.find('\r', at + 1) - at - 1);
    EXPECT_EQ(blanks.size(), longest);

    EXPECT_EQ(on_terminal(command + " -q").out, "");
    RunResult piped = run_process({"sh", "-c", command});
    EXPECT_EQ(piped.exit_code, 0);
    EXPECT_EQ(piped.err, "");
}

}  // namespace
