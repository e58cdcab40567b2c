#include "elf/debug_sections.h"

#include <string.h>

#include <vector>

#include "elf/elf_read.h"

static bool is_debug_section(const char *name)
{
    return strncmp(name, ".debug_", 7) == 0 || strncmp(name, ".zdebug_", 8) == 0;
}

int debug_section_bytes(const std::string &path, uint64_t &bytes, std::string &error)
{
    bytes = 0;
    ElfFile file;
    if (elf_open_file(path, file, error) != 0)
        return -1;
    // Anything libelf cannot read as sections carries no debug information
    // worth a note: data files, damaged or stripped-of-headers objects.
    std::vector<ElfSectionEntry> sections;
    if (file.elf != nullptr && elf_kind(file.elf) == ELF_K_ELF) {
        std::string unreadable;
        elf_sections(file, sections, unreadable);
    }
    for (const ElfSectionEntry &s : sections)
        if (s.header.sh_type != SHT_NOBITS && s.named && is_debug_section(s.name.c_str()))
            bytes += s.header.sh_size;
    elf_close(file);
    return 0;
}
