// What a launcher asks of the C library: no symbol version above its
// target's floor, read from the launcher itself.
#include <string.h>

#include "elf_file.h"
#include "glibc_needs.h"
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

INSTANTIATE_FOR_TARGETS(GlibcFloor);

}  // namespace
