// What a launcher asks of the C library: no symbol version above its
// target's floor, read from the launcher itself; and the errno texts that the
// runtime carries in place of glibc's newer functions.
#include <errno.h>
#include <string.h>

#include "elf_file.h"
#include "glibc_needs.h"
#include "launcher.h"
#include "sfx.h"
#include "format/target_table.h"

namespace {

class GlibcFloor : public TargetTest {};

TEST_P(GlibcFloor, LauncherNeedsNoGlibcVersionAboveTheFloor)
{
#ifdef SFX_SANITIZED
    GTEST_SKIP() << "the sanitizers' run-time code needs what the glibc that built it has";
#endif
    ScratchDir scratch;
    const TargetInfo *info = find_target(target());
    ASSERT_NE(info, nullptr);
    for (const char *name : {"plain", "stored"}) {
        std::vector<std::string> extra;
        if (strcmp(name, "stored") == 0) {
            write_text(scratch / "empty", "");
            extra = {"--force", "--stored", scratch / "empty"};
        }
        std::string launcher = pack_probe(target(), scratch, extra);
        ElfImage image;
        std::string error;
        ASSERT_EQ(image.load(launcher, error), 0) << error;
        std::vector<std::string> above = needs_above_floor(image, info->glibc_floor);
        EXPECT_TRUE(above.empty()) << name << " launcher, floor GLIBC_" << info->glibc_floor
                                   << ":\n" << testing::PrintToString(above);
    }
}

TEST_P(GlibcFloor, FloorIsReachedAndNoHigherThanGlibc217)
{
    const TargetInfo *info = find_target(target());
    ASSERT_NE(info, nullptr);
    ElfImage at_floor;
    at_floor.version_needs = {{"libc.so.6", std::string("GLIBC_") + info->glibc_floor}};
    EXPECT_TRUE(needs_above_floor(at_floor, "2.17").empty()) << info->glibc_floor;
    // The checker itself: what lies above, beside or outside the floor.
    ElfImage odd;
    odd.version_needs = {{"libc.so.6", "GLIBC_2.2.5"},  {"libc.so.6", "GLIBC_2.14"},
                         {"libc.so.6", "GLIBC_2.3"},    {"libc.so.6", "GLIBC_PRIVATE"},
                         {"libm.so.6", "GLIBC_2.0"},    {"libc.so.6", "GLIBC_2.2.5.1"}};
    EXPECT_EQ(needs_above_floor(odd, "2.2.5"),
              (std::vector<std::string>{"libc.so.6: GLIBC_2.14", "libc.so.6: GLIBC_2.3",
                                        "libc.so.6: GLIBC_PRIVATE", "libm.so.6: GLIBC_2.0",
                                        "libc.so.6: GLIBC_2.2.5.1"}));
    EXPECT_FALSE(needs_above_floor(ElfImage(), "2.2.5").empty());
}

INSTANTIATE_FOR_TARGETS(GlibcFloor);

// The texts a child's exec-failure line carries, against the host's strerror
// (in the C locale: the tests never call setlocale).
TEST(ErrnoText, EveryErrorAUserMeetsReadsAsTheSystemSaysIt)
{
    for (int error : {ENOENT, EACCES, ENOEXEC, ETXTBSY, ENOMEM, E2BIG, ELOOP, ENAMETOOLONG,
                      ENOTDIR, EISDIR, ELIBBAD, EPERM, EIO}) {
        char room[ERRNO_TEXT_ROOM];
        EXPECT_STREQ(errno_text(error, room), strerror(error)) << error;
    }
}

TEST(ErrnoText, EveryNumberReadsAsTheSystemSaysIt)
{
    // Unknown numbers too: beyond the last, between known ones (41, 58) and
    // negative ones come out as "Unknown error N".
    for (int error = -300; error <= 300; error++) {
        char room[ERRNO_TEXT_ROOM];
        EXPECT_STREQ(errno_text(error, room), strerror(error)) << error;
    }
    for (int error : {2147483647, -2147483647 - 1, 100000}) {
        char room[ERRNO_TEXT_ROOM];
        EXPECT_STREQ(errno_text(error, room), strerror(error)) << error;
    }
    char room[ERRNO_TEXT_ROOM];
    EXPECT_STREQ(errno_text(4242, room), "Unknown error 4242");
}

}  // namespace
