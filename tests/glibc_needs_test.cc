// The glibc floor of every target in the packer's table, and the checker
// that holds launchers to it (glibc_floor_test.cc), on version needs made
// up here.
#include "elf_file.h"
#include "glibc_needs.h"
#include "sfx.h"
#include "format/target_table.h"

namespace {

class GlibcFloor : public TargetTest {};

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

}  // namespace
