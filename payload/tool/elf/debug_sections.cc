#include "elf/debug_sections.h"

#include <string.h>

#include <vector>

#include "elf/elf_read.h"

static bool is_debug_section(const char *name)
{
    return strncmp(name, ".debug_", 7) == 0 || strncmp(name, ".zdebug_", 8) == 0;
}

uint64_t debug_section_bytes(const unsigned char *data, size_t size)
{
    // Anything libelf cannot read as sections carries no debug information
    // worth a note: data files, damaged or stripped-of-headers objects.
    ElfFile file;
    std::vector<ElfSectionEntry> sections;
    if (elf_open_memory(data, size, file) == 0) {
        std::string unreadable;
        elf_sections(file, sections, unreadable);
    }
    uint64_t bytes = 0;
    for (const ElfSectionEntry &s : sections)
        if (s.header.sh_type != SHT_NOBITS && s.named && is_debug_section(s.name.c_str()))
            bytes += s.header.sh_size;
    elf_close(file);
    return bytes;
}
