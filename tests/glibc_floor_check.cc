// glibc_floor_check TARGET LAUNCHER: exits 0 when LAUNCHER needs no glibc
// symbol version above TARGET's floor, and otherwise names what it needs, so
// that tests outside googletest (install_test.sh) check what GlibcFloor
// checks.
#include <stdio.h>

#include "glibc_needs.h"
#include "format/target_table.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: glibc_floor_check TARGET LAUNCHER\n");
        return 2;
    }
    const TargetInfo *target = find_target(argv[1]);
    if (target == nullptr) {
        fprintf(stderr, "glibc_floor_check: no target %s\n", argv[1]);
        return 2;
    }
    ElfImage image;
    std::string error;
    if (image.load(argv[2], error) != 0) {
        fprintf(stderr, "glibc_floor_check: %s\n", error.c_str());
        return 2;
    }
    std::vector<std::string> above = needs_above_floor(image, target->glibc_floor);
    for (const std::string &need : above)
        printf("%s: needs %s, above GLIBC_%s\n", argv[2], need.c_str(), target->glibc_floor);
    return above.empty() ? 0 : 1;
}
