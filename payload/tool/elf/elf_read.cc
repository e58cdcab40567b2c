#include "elf/elf_read.h"

#include <elf.h>
#include <string.h>

int elf_open_memory(const unsigned char *data, size_t size, ElfFile &file)
{
    file = ElfFile();
    elf_version(EV_CURRENT);
    // libelf only reads here: nothing is updated, so the caller's bytes stay
    // as they are.
    file.elf = elf_memory((char *)data, size);
    file.image = data;
    file.image_size = size;
    return file.elf != nullptr && elf_kind(file.elf) == ELF_K_ELF ? 0 : -1;
}

void elf_close(ElfFile &file)
{
    if (file.elf != nullptr)
        elf_end(file.elf);
    file = ElfFile();
}

int elf_read_header(ElfFile &file)
{
    if (file.elf == nullptr || elf_kind(file.elf) != ELF_K_ELF ||
        gelf_getehdr(file.elf, &file.header) == nullptr)
        return -1;
    file.elf_class = gelf_getclass(file.elf);
    return 0;
}

int elf_identify(const unsigned char *bytes, size_t size, int &elf_class, unsigned &machine)
{
    // e_machine follows e_ident and e_type in both classes.
    enum { MACHINE_AT = EI_NIDENT + 2 };
    if (size < MACHINE_AT + 2 || memcmp(bytes, ELFMAG, SELFMAG) != 0)
        return -1;
    elf_class = bytes[EI_CLASS];
    unsigned lo = bytes[MACHINE_AT], hi = bytes[MACHINE_AT + 1];
    machine = bytes[EI_DATA] == ELFDATA2LSB ? (lo | hi << 8) : (hi | lo << 8);
    return 0;
}

int elf_segment_count(const ElfFile &file, size_t &count)
{
    count = 0;
    return file.elf != nullptr && elf_getphdrnum(file.elf, &count) == 0 ? 0 : -1;
}

int elf_program_headers(const ElfFile &file, std::vector<GElf_Phdr> &headers)
{
    headers.clear();
    size_t count = 0;
    if (elf_segment_count(file, count) != 0)
        return -1;
    for (size_t i = 0; i < count; i++) {
        GElf_Phdr phdr;
        if (gelf_getphdr(file.elf, (int)i, &phdr) == nullptr)
            return -1;
        headers.push_back(phdr);
    }
    return 0;
}

Elf_Data *elf_address_data(const ElfFile &file, const std::vector<GElf_Phdr> &headers,
                           uint64_t addr, uint64_t size, Elf_Type type)
{
    for (const GElf_Phdr &s : headers) {
        if (s.p_type != PT_LOAD || addr < s.p_vaddr || addr - s.p_vaddr >= s.p_filesz)
            continue;
        uint64_t room = s.p_filesz - (addr - s.p_vaddr);
        uint64_t offset = s.p_offset + (addr - s.p_vaddr);
        if (offset > INT64_MAX)
            return nullptr;
        return elf_getdata_rawchunk(file.elf, (int64_t)offset, size < room ? size : room, type);
    }
    return nullptr;
}

// The segment that goes on where one ends, in the file as in memory.
static const GElf_Phdr *segment_after(const std::vector<GElf_Phdr> &headers, uint64_t vaddr,
                                      uint64_t offset, size_t size)
{
    for (const GElf_Phdr &p : headers)
        if (p.p_type == PT_LOAD && p.p_vaddr == vaddr && p.p_offset == offset &&
            p.p_filesz != 0 && p.p_offset <= size && p.p_filesz <= size - p.p_offset)
            return &p;
    return nullptr;
}

// A range may run on into the next segment where the two lie back to back
// in the file as in memory: patchelf leaves a non-PIE program's grown
// string table so, across the segments it adds in front of the first.
const unsigned char *elf_loaded_bytes(const ElfFile &file, const std::vector<GElf_Phdr> &headers,
                                      uint64_t addr, uint64_t length)
{
    const size_t size = file.image_size;
    for (const GElf_Phdr &p : headers) {
        if (p.p_type != PT_LOAD || addr < p.p_vaddr || addr - p.p_vaddr > p.p_filesz ||
            p.p_offset > size || p.p_filesz > size - p.p_offset)
            continue;
        uint64_t covered = p.p_filesz - (addr - p.p_vaddr);
        const GElf_Phdr *last = &p;
        while (covered < length && last->p_memsz == last->p_filesz &&
               (last = segment_after(headers, last->p_vaddr + last->p_filesz,
                                     last->p_offset + last->p_filesz, size)) != nullptr)
            covered += last->p_filesz;
        if (covered < length)
            continue;
        return file.image == nullptr ? nullptr : file.image + p.p_offset + (addr - p.p_vaddr);
    }
    return nullptr;
}

Elf_Data *elf_loaded_data(const ElfFile &file, const std::vector<GElf_Phdr> &headers,
                          uint64_t addr, uint64_t length, Elf_Type type)
{
    const unsigned char *bytes = elf_loaded_bytes(file, headers, addr, length);
    if (bytes == nullptr)
        return nullptr;
    return elf_getdata_rawchunk(file.elf, (int64_t)(bytes - file.image), length, type);
}

int elf_dynamic_entries(const ElfFile &file, uint64_t offset, uint64_t size,
                        std::vector<GElf_Dyn> &entries)
{
    entries.clear();
    Elf_Data *data = offset > INT64_MAX ? nullptr
                                        : elf_getdata_rawchunk(file.elf, (int64_t)offset, size,
                                                               ELF_T_DYN);
    size_t entry_size = gelf_fsize(file.elf, ELF_T_DYN, 1, EV_CURRENT);
    if (data == nullptr || entry_size == 0)
        return -1;
    size_t count = data->d_size / entry_size;
    for (size_t i = 0; i < count && i <= INT32_MAX; i++) {
        GElf_Dyn dyn;
        if (gelf_getdyn(data, (int)i, &dyn) == nullptr)
            return -1;
        if (dyn.d_tag == DT_NULL)
            break;
        entries.push_back(dyn);
    }
    return 0;
}

bool elf_bounded_string(const void *bytes, size_t size, uint64_t offset, std::string &out)
{
    if (bytes == nullptr || offset >= size)
        return false;
    const char *start = (const char *)bytes + offset;
    const void *end = memchr(start, '\0', size - (size_t)offset);
    if (end == nullptr)
        return false;
    out.assign(start, (const char *)end);
    return true;
}

bool elf_section_string(const ElfFile &file, size_t table, uint64_t offset, std::string &out)
{
    const char *s = offset > SIZE_MAX ? nullptr : elf_strptr(file.elf, table, (size_t)offset);
    if (s == nullptr)
        return false;
    out = s;
    return true;
}

int elf_sections(const ElfFile &file, std::vector<ElfSectionEntry> &sections,
                 std::string &error)
{
    sections.clear();
    size_t count = 0, strings = 0;
    if (file.elf == nullptr || elf_getshdrnum(file.elf, &count) != 0 ||
        elf_getshdrstrndx(file.elf, &strings) != 0) {
        error = std::string("unreadable section headers: ") + elf_errmsg(-1);
        return -1;
    }
    for (size_t i = 1; i < count; i++) {
        ElfSectionEntry s;
        s.index = i;
        s.scn = elf_getscn(file.elf, i);
        if (s.scn == nullptr || gelf_getshdr(s.scn, &s.header) == nullptr) {
            error = std::string("unreadable section header: ") + elf_errmsg(-1);
            return -1;
        }
        const char *name = elf_strptr(file.elf, strings, s.header.sh_name);
        if (name != nullptr) {
            s.named = true;
            s.name = name;
        }
        sections.push_back(s);
    }
    return 0;
}

const ElfSectionEntry *elf_section_named(const std::vector<ElfSectionEntry> &sections,
                                         const std::string &name)
{
    for (const ElfSectionEntry &s : sections)
        if (s.named && s.name == name)
            return &s;
    return nullptr;
}
