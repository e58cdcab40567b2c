// The command lines, seen from outside: the launcher's own switches
// (version, listing, the arguments that reach the program), and sfxpack's
// options in the modes their rows give them.
#include <map>

#include "cli/pack_options.h"
#include "sfx.h"
#include "sfx_version.h"

namespace {

class CommandLine : public TargetTest {
protected:
    ScratchDir scratch;
    std::string launcher;
    void SetUp() override { launcher = pack_probe(target(), scratch); }
    RunResult launch(const std::vector<std::string> &args)
    {
        return run_launcher(launcher, args, scratch.path);
    }
    // The arguments the probe saw after its argv[0].
    std::vector<std::string> probe_args(const RunResult &r)
    {
        std::vector<std::string> args;
        for (const std::string &line : split_lines(r.out))
            if (line.rfind("argv[", 0) == 0 && line.rfind("argv[0]=", 0) != 0)
                args.push_back(line.substr(line.find('=') + 1));
        return args;
    }
};

TEST_P(CommandLine, VersionPrintsOnlyTheVersionWhateverElseIsGiven)
{
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"@version"}, {"@version", "@list"}, {"@unpack", "x", "@version", "@debug"}}) {
        RunResult r = launch(args);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, SFX_LAUNCHER_VERSION "\n");
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(list_dir(scratch.path), std::vector<std::string>{"launcher"});
}

// Printing is all @version and @list do: output that cannot be written is
// their failure, reported once.
TEST_P(CommandLine, VersionAndListingThatCannotBeWrittenFail)
{
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"@version"}, {"@list"}, {"@list", "@debug"}, {"@debug", "@version"}}) {
        std::vector<std::string> argv = {"sh", "-c", "exec \"$0\" \"$@\" >/dev/full",
                                         launcher};
        argv.insert(argv.end(), args.begin(), args.end());
        RunOptions options;
        options.set_env = {"TEMP=" + scratch.path};
        RunResult r = run_process(argv, options);
        EXPECT_EQ(r.exit_code, 1) << args[0] << ": " << r.err;
        EXPECT_EQ(r.err, "standard output: No space left on device\n") << args[0];
    }
    EXPECT_EQ(list_dir(scratch.path), std::vector<std::string>{"launcher"});
}

TEST_P(CommandLine, ListingRightAlignsStoredSizesInElevenColumns)
{
    std::string s17889 = pseudo_random_bytes(17889, 1);
    s17889[0] = 0x5d;  // not a leading zero byte: listed whole
    write_text(scratch / "big", s17889);
    write_text(scratch / "one", "x");
    std::string l = pack(target(), scratch / "listed",
                         {"--force", "--stored", scratch / "big", "--stored", "--name",
                          "second name", scratch / "one"});
    RunResult r = run_launcher(l, {"@list"}, scratch.path);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "      17889 big\n          1 second name\n");
    EXPECT_EQ(r.err, "");
}

TEST_P(CommandLine, ListWithDebugNamesTheDirectoryButMakesNone)
{
    RunResult r = launch({"@list", "@debug"});
    EXPECT_EQ(r.exit_code, 0);
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0], "work dir: 'probe'");
    EXPECT_NE(lines[1].find(" probe"), std::string::npos);
    EXPECT_NE(lines[2].find(" libprobe.so"), std::string::npos);
    EXPECT_FALSE(file_exists("probe"));
}

TEST_P(CommandLine, LaterOfUnpackAndListDecides)
{
    RunOptions in_scratch;
    in_scratch.cwd = scratch.path;
    RunResult listed = run_launcher(launcher, {"@unpack", "@list"}, scratch.path, in_scratch);
    EXPECT_EQ(listed.exit_code, 0);
    EXPECT_FALSE(file_exists(scratch / "probe"));
    EXPECT_EQ(split_lines(listed.out).size(), 2u);

    RunResult unpacked = run_launcher(launcher, {"@list", "@unpack"}, scratch.path, in_scratch);
    EXPECT_EQ(unpacked.exit_code, 0) << unpacked.err;
    EXPECT_EQ(unpacked.out, "");
    EXPECT_EQ(list_dir(scratch / "probe"),
              (std::vector<std::string>{"libprobe.so", "probe"}));
}

TEST_P(CommandLine, SwitchesAreTakenOutWhereverTheyStand)
{
    RunResult r = launch({"report", "a", "@verbose", "b", "@verbose", "c"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(probe_args(r), (std::vector<std::string>{"report", "a", "b", "c"}));
}

TEST_P(CommandLine, NearMissesOfSwitchesReachTheProgram)
{
    std::vector<std::string> near = {"@LIST", "@List", "@lis", "@listx", "@",
                                     "list", "@unpack ", " @debug", "@@version"};
    std::vector<std::string> args = {"report"};
    args.insert(args.end(), near.begin(), near.end());
    RunResult r = launch(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(probe_args(r), args);
}

TEST_P(CommandLine, WithoutArgumentsTheProgramGetsOnlyItsName)
{
    RunResult r = launch({});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("argc=1\nargv[0]=probe\n"), std::string::npos) << r.out;
}

INSTANTIATE_FOR_TARGETS(CommandLine);

// Each option in each mode, as its row gives its modes: outside them it is
// refused with status 2 and one line naming it (or the packing options);
// in them the command line passes and the missing file is what fails.
// Either way nothing is written. The modes' own options are combined in
// LauncherReadingUsage.
TEST(PackerOptionModes, EachOptionIsRefusedOutsideItsModesOnly)
{
    ScratchDir scratch;
    std::string missing = scratch / "missing";
    const struct {
        unsigned mode;
        std::vector<std::string> args;
    } modes[] = {
        {MODE_PACK, {"-o", scratch / "out", missing}},
        {MODE_BUNDLE, {"--bundle", "-o", scratch / "out", missing}},
        {MODE_INSPECT, {"--inspect", missing}},
        {MODE_VERIFY, {"--verify", missing}},
        {MODE_EXTRACT, {"--extract", missing, scratch / "dir"}},
        {MODE_SIGN, {"--sign", scratch / "key", missing}},
        {MODE_EMBED, {"--embed-signature", scratch / "sig", missing}},
    };
    // Values that the rows' own checks take; any other value is a path.
    const std::map<std::string, std::string> values = {
        {"--target", "i386"}, {"--level", "1"}, {"--max-glibc", "2.17"}, {"--name", "entry"}, {"--env", "NAME=value"}};
    int refused = 0;
    for (size_t i = 0; i < pack_option_count; i++) {
        const PackOption &option = pack_option_table[i];
        if (option.selects != 0)
            continue;
        std::string spelling = option_spelling(option);
        for (const auto &mode : modes) {
            // A packing option makes --sign sign while packing instead.
            if (mode.mode == MODE_SIGN && (option.modes & PACKING_MODES) != 0)
                continue;
            std::vector<std::string> args = {spelling};
            if ((option.flags & OPTION_VALUE) != 0)
                args.push_back(values.count(spelling) ? values.at(spelling) : scratch / "value");
            args.insert(args.end(), mode.args.begin(), mode.args.end());
            std::string shown;
            for (const std::string &arg : args)
                shown += " " + arg;
            RunResult r = run_sfxpack(args);
            if ((option.modes & mode.mode) == 0) {
                refused++;
                EXPECT_EQ(r.exit_code, 2) << shown << ": " << r.err;
                EXPECT_EQ(split_lines(r.err).size(), 1u) << shown << ": " << r.err;
                EXPECT_TRUE(r.err.rfind("sfxpack: " + spelling + " ", 0) == 0 ||
                            r.err.rfind("sfxpack: packing options cannot be combined with", 0) == 0)
                    << shown << ": " << r.err;
            } else {
                EXPECT_NE(r.exit_code, 2) << shown << ": " << r.err;
                EXPECT_EQ(r.err.find("(see sfxpack --help)"), std::string::npos) << shown;
            }
        }
    }
    EXPECT_GE(refused, 40);
    EXPECT_EQ(list_dir(scratch.path), std::vector<std::string>{});
}

}  // namespace
