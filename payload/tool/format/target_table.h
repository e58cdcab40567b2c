// What the packer knows about each architecture it makes launchers for. Every
// per-target fact lives in this one table; code asks it instead of comparing
// target names.
#ifndef SFXPACK_TARGET_TABLE_H
#define SFXPACK_TARGET_TABLE_H

#include <stdint.h>

#include <string>

struct TargetInfo {
    const char *name;          // as --target and the runtime directory spell it
    int elf_class;             // ELFCLASS32 or ELFCLASS64
    unsigned elf_machine;      // EM_*
    const char *machine_flag;  // the compiler driver's ABI switch
    // PayloadEntry is {pointer, pointer, uint32_t}, padded to the pointer's
    // alignment: 24 bytes on x86_64, 12 on i386.
    unsigned pointer_size;
    const char *pointer_directive;  // the assembler's word for one pointer
    unsigned entry_size;
    // The program interpreter that the ABI names; asked what it puts for
    // $PLATFORM and $LIB, which depend on the machine (bundle/loader_tokens.h).
    const char *loader;
    // Taken for $LIB and $PLATFORM only when that loader cannot answer.
    const char *usual_lib;
    const char *usual_platform;
    const char *ldconfig_flags;  // `ldconfig -p`'s flags field for the target
    const char *const *library_dirs;  // the loader's default directories, null-ended
    // The oldest glibc a launcher of this target starts on: no symbol version
    // that the runtime references is newer (see "Old glibc" in README.md).
    const char *glibc_floor;  // e.g. "2.2.5"
    // The largest LZMA dictionary a launcher of this target is sure to
    // allocate: the decoder mallocs the whole window before it writes a byte.
    uint32_t max_dictionary;
};

enum { TARGET_COUNT = 2 };

// The default target first.
extern const TargetInfo target_table[TARGET_COUNT];

// The target called name, or NULL.
const TargetInfo *find_target(const std::string &name);

// The target whose ELF objects have this class and machine, or NULL.
const TargetInfo *find_elf_target(int elf_class, unsigned machine);

#endif
