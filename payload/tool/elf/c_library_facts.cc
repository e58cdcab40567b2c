#include "elf/c_library_facts.h"

#include <elf.h>

#include <vector>

#include "elf/elf_read.h"
#include "elf/version_needs.h"

namespace {

// The version names of every SHT_GNU_verdef section, as GLIBC_ needs.
void version_definitions(const ElfFile &file, const std::vector<ElfSectionEntry> &sections,
                         std::vector<VersionNeed> &defined)
{
    for (const ElfSectionEntry &s : sections) {
        if (s.header.sh_type != SHT_GNU_verdef)
            continue;
        Elf_Data *data = elf_getdata(s.scn, nullptr);
        size_t at = 0;
        for (GElf_Word i = 0; data != nullptr && i < s.header.sh_info; i++) {
            GElf_Verdef def;
            GElf_Verdaux aux;
            if (gelf_getverdef(data, (int)at, &def) == nullptr ||
                gelf_getverdaux(data, (int)(at + def.vd_aux), &aux) == nullptr)
                break;
            std::string name;
            if (elf_section_string(file, s.header.sh_link, aux.vda_name, name))
                defined.push_back({"", name, ""});
            if (def.vd_next == 0)
                break;
            at += def.vd_next;
        }
    }
}

}  // namespace

std::string defined_glibc_release(const unsigned char *data, size_t size)
{
    ElfFile file;
    std::vector<ElfSectionEntry> sections;
    std::vector<VersionNeed> defined;
    std::string unreadable;
    if (elf_open_memory(data, size, file) == 0 && elf_read_header(file) == 0 &&
        elf_sections(file, sections, unreadable) == 0)
        version_definitions(file, sections, defined);
    elf_close(file);
    VersionNeed newest;
    if (!newest_need(defined, "GLIBC_", newest))
        return "";
    return newest.version.substr(6);
}
