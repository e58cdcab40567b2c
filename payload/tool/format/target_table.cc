#include "format/target_table.h"

#include <elf.h>
#include <stddef.h>

#include "payload.h"

static const char *const x86_64_dirs[] = {
    "/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib64", "/usr/lib64",
    "/lib", "/usr/lib", nullptr};
// Debian's multiarch directories and the biarch ones of gcc-multilib.
static const char *const i386_dirs[] = {
    "/lib/i386-linux-gnu", "/usr/lib/i386-linux-gnu", "/lib32", "/usr/lib32", nullptr};

// constexpr, so that the record layout below can be checked as it builds.
constexpr TargetInfo target_table[TARGET_COUNT] = {
    {"x86_64", ELFCLASS64, EM_X86_64, "-m64", 8, ".quad", 24,
     "/lib64/ld-linux-x86-64.so.2", "lib/x86_64-linux-gnu", "x86_64", "libc6,x86-64", x86_64_dirs, "2.2.5",
     UINT32_MAX},
    // glibc's malloc refuses more than PTRDIFF_MAX, so 2 GiB - 1 is the most
    // an i386 launcher ever got; 1.5 GiB leaves room for the process's own
    // mappings on a 32-bit kernel, and is the largest dictionary xz makes.
    {"i386", ELFCLASS32, EM_386, "-m32", 4, ".long", 12,
     "/lib/ld-linux.so.2", "lib32", "i686", "libc6", i386_dirs, "2.2", 0x60000000u},
};

// The packer writes each target's table by pointer_size and entry_size; a
// launcher reads it as PayloadEntry. Only the host's target can be compared
// here, and that one fails the packer's build when the two drift apart.
#if defined(__x86_64__) || defined(__i386__)
#if defined(__x86_64__)
static constexpr unsigned host_machine = EM_X86_64;
#else
static constexpr unsigned host_machine = EM_386;
#endif
static constexpr bool host_entry_layout_matches()
{
    for (const TargetInfo &t : target_table)
        if (t.elf_machine == host_machine)
            return t.pointer_size == sizeof(void *) && t.entry_size == sizeof(PayloadEntry) &&
                   offsetof(PayloadEntry, name) == t.pointer_size &&
                   offsetof(PayloadEntry, size) == 2 * (size_t)t.pointer_size;
    return false;
}
static_assert(host_entry_layout_matches(),
              "PayloadEntry is not laid out as the target table says for the host's target");
#endif

const TargetInfo *find_target(const std::string &name)
{
    for (const TargetInfo &t : target_table)
        if (name == t.name)
            return &t;
    return nullptr;
}

const TargetInfo *find_elf_target(int elf_class, unsigned machine)
{
    for (const TargetInfo &t : target_table)
        if (elf_class == t.elf_class && machine == t.elf_machine)
            return &t;
    return nullptr;
}
