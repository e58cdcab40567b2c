// A file that grants more than the rights of whoever runs it (setuid,
// setgid, file capabilities) grants nothing once packed: the launcher
// unpacks every file with mode 0700 and starts the program as whoever runs
// it. The packer says so on one warning line per file, whether it packs,
// plans (-n) or reports (-v), bundles or not, and packs anyway.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "sfx.h"

namespace {

class PackPrivileges : public TargetTest {
protected:
    ScratchDir scratch;

    // A copy of the libc probe (which needs nothing but libc.so.6) with
    // mode, or "" when the file system or the user cannot give it that mode.
    std::string program_with_mode(const std::string &name, mode_t mode)
    {
        std::string path = scratch / name;
        write_text(path, read_text(fixture_path(target(), "libc_probe")));
        struct stat st;
        if (chmod(path.c_str(), mode) != 0 || stat(path.c_str(), &st) != 0 ||
            (st.st_mode & 07777) != mode)
            return "";
        return path;
    }

    // What sfxpack says on standard error for each way of packing program,
    // all of which must succeed; the launcher packed plainly still runs.
    std::vector<std::string> warnings_when_packed(const std::string &program)
    {
        const std::vector<std::vector<std::string>> ways = {
            {"-o", scratch / "out", program},
            {"-n", program},
            {"--bundle", "-v", "-o", scratch / "out", program},
            {"--bundle", "--libc", "-n", program},
        };
        std::vector<std::string> said;
        for (const std::vector<std::string> &args : ways) {
            RunResult r = run_sfxpack(args);
            EXPECT_EQ(r.exit_code, 0) << args[0] << ": " << r.err;
            said.push_back(r.err);
        }
        RunResult ran = run_launcher(scratch / "out", {"exit", "3"}, scratch.path);
        EXPECT_EQ(ran.exit_code, 3) << ran.err;
        return said;
    }
};

std::string lost(const std::string &path, const std::string &what)
{
    return "sfxpack: warning: " + path + ": packed, it loses its " + what +
           ": the launcher unpacks every file with mode 0700, to run with the rights of "
           "whoever starts it\n";
}

TEST_P(PackPrivileges, SetuidAndSetgidProgramsAreNamedWithTheirBits)
{
    struct Case {
        mode_t mode;
        std::string what;  // "" when nothing is lost
    };
    const std::vector<Case> cases = {
        {04755, "setuid bit"},
        {02755, "setgid bit"},
        {06711, "setuid bit and setgid bit"},
        // Without group execute, the set-group-ID bit marks mandatory locking.
        {02745, ""},
        {0755, ""},
    };
    for (const Case &c : cases) {
        char name[16];
        snprintf(name, sizeof name, "prog-%04o", (unsigned)c.mode);
        SCOPED_TRACE(name);
        std::string program = program_with_mode(name, c.mode);
        if (program.empty())
            GTEST_SKIP() << "this user cannot give a file mode "
                         << std::string(name).substr(5) << " here (setgid needs membership of the file's group)";
        std::string expected = c.what.empty() ? "" : lost(program, c.what);
        for (const std::string &err : warnings_when_packed(program))
            EXPECT_EQ(err, expected);
    }
}

TEST_P(PackPrivileges, FileCapabilitiesAreNamed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "setting security.capability needs root";
    std::string program = program_with_mode("capable", 04755);
    ASSERT_NE(program, "");
    // Revision 2, effective, permitting CAP_NET_BIND_SERVICE: as
    // `setcap cap_net_bind_service=ep` writes it.
    const unsigned char capability[20] = {0x01, 0x00, 0x00, 0x02, 0x00, 0x04};
    if (setxattr(program.c_str(), "security.capability", capability, sizeof capability, 0) != 0)
        GTEST_SKIP() << "the scratch file system keeps no security.capability: "
                     << strerror(errno);
    std::string expected =
        lost(program, "setuid bit and file capabilities (security.capability)");
    for (const std::string &err : warnings_when_packed(program))
        EXPECT_EQ(err, expected);

    // The capabilities alone; a library found for a bundle is named too.
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    std::string library = scratch / "libprobe.so";
    write_text(library, read_text(fixture_path(target(), "libprobe.so")));
    ASSERT_EQ(setxattr(library.c_str(), "security.capability", capability, sizeof capability, 0),
              0) << strerror(errno);
    std::string probe = scratch / "probe";
    write_text(probe, read_text(fixture_path(target(), "probe")));
    ASSERT_EQ(chmod(probe.c_str(), 0755), 0);
    RunOptions options;
    options.set_env = {"LD_LIBRARY_PATH=" + scratch.path};
    RunResult bundled = run_process({sfxpack_path(), "--bundle", "-n", probe}, options);
    EXPECT_EQ(bundled.exit_code, 0) << bundled.err;
    EXPECT_EQ(bundled.err, lost(library, "file capabilities (security.capability)"));
    RunResult plain = run_sfxpack({"-n", program});
    EXPECT_EQ(plain.err, lost(program, "file capabilities (security.capability)"));
}

INSTANTIATE_FOR_TARGETS(PackPrivileges);

}  // namespace
