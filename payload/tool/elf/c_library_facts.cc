#include "elf/c_library_facts.h"

#include <elf.h>
#include <string.h>

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

std::string elf_kernel_floor(const unsigned char *data, size_t size)
{
    ElfFile file;
    std::vector<GElf_Phdr> headers;
    std::string floor;
    if (elf_open_memory(data, size, file) != 0 || elf_read_header(file) != 0 ||
        elf_program_headers(file, headers) != 0) {
        elf_close(file);
        return floor;
    }
    for (const GElf_Phdr &h : headers) {
        if (h.p_type != PT_NOTE || h.p_offset > INT64_MAX || !floor.empty())
            continue;
        Elf_Data *notes = elf_getdata_rawchunk(file.elf, (int64_t)h.p_offset, h.p_filesz,
                                               ELF_T_NHDR);
        GElf_Nhdr note;
        size_t name_at = 0, desc_at = 0;
        for (size_t at = 0; notes != nullptr && at < notes->d_size;) {
            size_t next = gelf_getnote(notes, at, &note, &name_at, &desc_at);
            if (next == 0)
                break;
            const unsigned char *bytes = (const unsigned char *)notes->d_buf;
            uint32_t words[4];
            if (note.n_type == NT_GNU_ABI_TAG && note.n_namesz == 4 &&
                memcmp(bytes + name_at, "GNU", 4) == 0 && note.n_descsz == sizeof words) {
                // In the file's byte order, which is the host's for both targets.
                memcpy(words, bytes + desc_at, sizeof words);
                if (words[0] == ELF_NOTE_OS_LINUX)
                    floor = std::to_string(words[1]) + "." + std::to_string(words[2]) + "." +
                            std::to_string(words[3]);
            }
            at = next;
        }
    }
    elf_close(file);
    return floor;
}

int read_c_library_facts(const unsigned char *data, size_t size, CLibraryFacts &facts,
                         std::string &error)
{
    ElfFile file;
    std::vector<ElfSectionEntry> sections;
    std::vector<VersionNeed> defined;
    if (elf_open_memory(data, size, file) == 0 && elf_read_header(file) == 0 &&
        elf_sections(file, sections, error) == 0)
        version_definitions(file, sections, defined);
    elf_close(file);
    VersionNeed newest;
    if (!newest_need(defined, "GLIBC_", newest)) {
        error = "it defines no GLIBC_ version";
        return -1;
    }
    facts.release = newest.version.substr(6);
    facts.kernel_floor = elf_kernel_floor(data, size);
    return 0;
}
