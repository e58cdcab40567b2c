// What a launcher's loaded bytes say beyond its entry table: the digest of
// its code that the manifest records, the note by which its runtime names
// the manifest format it comes with, and dynamic relocations that would
// change the payload under a run's feet. All read from a file that may be
// hostile, through the program headers, as the loader reads it.
#ifndef SFXPACK_LAUNCHER_INTEGRITY_H
#define SFXPACK_LAUNCHER_INTEGRITY_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "elf/elf_read.h"
#include "sys/sha256.h"
#include "format/target_table.h"

// A section as the reader found it: its bytes in the file and in memory.
struct PlacedSection {
    const char *name;
    uint64_t offset, addr, size;
};

// The launcher's code, whose digest the manifest records (README.md, "What
// --verify covers"): the file bytes of every PT_LOAD segment,
// [p_offset, p_offset + p_filesz), in program header order, less the bytes
// of the excluded ranges (the payload and the manifest; from format 3 on
// also section_header_fields), which are skipped, not zeroed. The ELF and
// program headers lie in the first segment and are covered; the section
// headers are not loaded and are not. Returns 0, or -1 with a reason.
int launcher_code_digest(const ElfFile &file, const unsigned char *data, size_t size,
                         const std::vector<PlacedSection> &excluded,
                         unsigned char digest[SHA256_SIZE], std::string &error);

// The ELF header's section-header fields (e_shoff; e_shentsize, e_shnum and
// e_shstrndx), as file ranges to leave out of the code digest: strip and
// objcopy rewrite them whenever they drop or add a section that is not
// loaded, and neither the kernel nor the loader reads them.
std::vector<PlacedSection> section_header_fields(const ElfFile &file);

// The manifest format named by the runtime's "sfxpack" note (type 1) in a
// PT_NOTE segment, or 0 when there is none (an older runtime).
unsigned manifest_format_mark(const ElfFile &file, const unsigned char *data, size_t size);

// One line for each dynamic relocation, in the tables that PT_DYNAMIC
// names (in a static launcher, which has none, in its loaded relocation
// sections), that writes into one of the sections.
void relocation_problems(const ElfFile &file, const TargetInfo &target,
                         const std::vector<PlacedSection> &payload,
                         std::vector<std::string> &problems);

#endif
