#include "read/launcher_integrity.h"

#include <elf.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "format.h"
#include "sys/byte_order.h"

namespace {

// A hostile file may claim any number of relocations onto the payload; the
// first few say enough.
enum { MOST_PROBLEMS = 8 };

// A program header that cannot be read loads nothing.
std::vector<GElf_Phdr> program_headers(const ElfFile &file)
{
    std::vector<GElf_Phdr> headers;
    elf_program_headers(file, headers);
    return headers;
}

bool in_file(uint64_t offset, uint64_t length, size_t size)
{
    return offset <= size && length <= size - offset;
}

std::string hex_address(uint64_t addr)
{
    char text[24];
    snprintf(text, sizeof text, "0x%llx", (unsigned long long)addr);
    return text;
}

struct RelocationCheck {
    const ElfFile *file;
    const std::vector<GElf_Phdr> *headers;
    const TargetInfo *target;
    const std::vector<PlacedSection> *payload;
    uint64_t symbols = 0;  // DT_SYMTAB, for the size a COPY relocation writes
    std::vector<std::string> *problems;
    unsigned found = 0;

    void add(const std::string &problem)
    {
        if (++found <= MOST_PROBLEMS)
            problems->push_back(problem);
    }

    // One relocation that writes width bytes at addr.
    void check(uint64_t addr, uint64_t width, unsigned type)
    {
        for (const PlacedSection &s : *payload) {
            bool overlaps = addr < s.addr + s.size && (addr >= s.addr || s.addr - addr < width);
            if (overlaps)
                add("a dynamic relocation (type " + std::to_string(type) + ") at " +
                    hex_address(addr) + " writes into " + s.name +
                    ": a run would not read the bytes that are checked here");
        }
    }

    uint64_t copy_width(uint64_t symbol)
    {
        size_t entry = gelf_fsize(file->elf, ELF_T_SYM, 1, EV_CURRENT);
        Elf_Data *sym = symbols == 0 || entry == 0 || symbol > UINT64_MAX / entry
                            ? nullptr
                            : elf_loaded_data(*file, *headers, symbols + symbol * entry, entry,
                                              ELF_T_SYM);
        GElf_Sym read;
        // A size that cannot be read could be any size.
        return sym == nullptr || gelf_getsym(sym, 0, &read) == nullptr ? UINT64_MAX
                                                                       : read.st_size;
    }

    void table(uint64_t addr, uint64_t length, bool addend)
    {
        if (length == 0)
            return;
        Elf_Type kind = addend ? ELF_T_RELA : ELF_T_REL;
        Elf_Data *relocations = elf_loaded_data(*file, *headers, addr, length, kind);
        if (relocations == nullptr) {
            add("the dynamic relocations at " + hex_address(addr) + " (" +
                std::to_string(length) + " bytes) are not loaded from the file");
            return;
        }
        size_t entry = gelf_fsize(file->elf, kind, 1, EV_CURRENT);
        size_t count = entry == 0 ? 0 : relocations->d_size / entry;
        for (size_t i = 0; i < count && i <= INT32_MAX; i++) {
            GElf_Rela rela;
            GElf_Rel rel;
            if (addend ? gelf_getrela(relocations, (int)i, &rela) == nullptr
                       : gelf_getrel(relocations, (int)i, &rel) == nullptr)
                break;
            uint64_t offset = addend ? rela.r_offset : rel.r_offset;
            uint64_t info = addend ? rela.r_info : rel.r_info;
            unsigned type = (unsigned)GELF_R_TYPE(info);
            uint64_t symbol = GELF_R_SYM(info);
            // NONE writes nothing; COPY (5 on both targets) writes the
            // symbol's size.
            if (type == 0)
                continue;
            check(offset, type == 5 ? copy_width(symbol) : target->pointer_size, type);
        }
    }

    // DT_RELR: an address, then bitmaps of the words after it.
    void relative_table(uint64_t addr, uint64_t length)
    {
        if (length == 0)
            return;
        const unsigned char *bytes = elf_loaded_bytes(*file, *headers, addr, length);
        if (bytes == nullptr) {
            add("the relative relocations at " + hex_address(addr) + " are not loaded from the file");
            return;
        }
        size_t word = target->pointer_size;
        uint64_t next = 0;
        for (uint64_t at = 0; length - at >= word; at += word) {
            uint64_t value = read_le(bytes + at, word);
            if ((value & 1) == 0) {
                check(value, word, 0);
                next = value + word;
                continue;
            }
            for (unsigned bit = 1; bit < 8 * word; bit++)
                if (value >> bit & 1)
                    check(next + (bit - 1) * word, word, 0);
            next += (8 * word - 1) * word;
        }
    }
};

}  // namespace

int launcher_code_digest(const ElfFile &file, const unsigned char *data, size_t size,
                         const std::vector<PlacedSection> &excluded,
                         unsigned char digest[SHA256_SIZE], std::string &error)
{
    std::vector<PlacedSection> skip = excluded;
    std::sort(skip.begin(), skip.end(), [](const PlacedSection &a, const PlacedSection &b) {
        return a.offset < b.offset;
    });
    Sha256 hash;
    unsigned segments = 0;
    for (const GElf_Phdr &p : program_headers(file)) {
        if (p.p_type != PT_LOAD)
            continue;
        if (!in_file(p.p_offset, p.p_filesz, size)) {
            error = "a loaded segment ends past the end of the file";
            return -1;
        }
        uint64_t at = p.p_offset, end = p.p_offset + p.p_filesz;
        for (const PlacedSection &s : skip) {
            if (s.offset + s.size <= at || s.offset >= end)
                continue;
            if (s.offset > at)
                hash.update(data + at, (size_t)(s.offset - at));
            at = std::max(at, std::min(end, s.offset + s.size));
        }
        if (end > at)
            hash.update(data + at, (size_t)(end - at));
        segments++;
    }
    if (segments == 0) {
        error = "no loaded segments";
        return -1;
    }
    hash.finish(digest);
    return 0;
}

std::vector<PlacedSection> section_header_fields(const ElfFile &file)
{
    // e_shentsize, e_shnum and e_shstrndx are the header's last three fields.
    if (file.elf_class == ELFCLASS64)
        return {{"e_shoff", offsetof(Elf64_Ehdr, e_shoff), 0, sizeof(Elf64_Off)},
                {"e_shentsize", offsetof(Elf64_Ehdr, e_shentsize), 0, 3 * sizeof(Elf64_Half)}};
    return {{"e_shoff", offsetof(Elf32_Ehdr, e_shoff), 0, sizeof(Elf32_Off)},
            {"e_shentsize", offsetof(Elf32_Ehdr, e_shentsize), 0, 3 * sizeof(Elf32_Half)}};
}

unsigned manifest_format_mark(const ElfFile &file, const unsigned char *data, size_t size)
{
    for (const GElf_Phdr &p : program_headers(file)) {
        if (p.p_type != PT_NOTE || !in_file(p.p_offset, p.p_filesz, size))
            continue;
        const uint64_t align = p.p_align == 8 ? 8 : 4;
        const unsigned char *notes = data + p.p_offset;
        for (uint64_t at = 0; p.p_filesz - at >= 12;) {
            uint64_t name_size = read_le(notes + at, 4), desc_size = read_le(notes + at + 4, 4);
            uint64_t type = read_le(notes + at + 8, 4);
            uint64_t name_at = at + 12;
            uint64_t desc_at = name_at + (name_size + align - 1) / align * align;
            uint64_t next = desc_at + (desc_size + align - 1) / align * align;
            if (next > p.p_filesz)
                break;
            if (name_size == sizeof FORMAT_NOTE_NAME &&
                memcmp(notes + name_at, FORMAT_NOTE_NAME, sizeof FORMAT_NOTE_NAME) == 0 &&
                type == FORMAT_NOTE_TYPE && desc_size == 4)
                return (unsigned)read_le(notes + desc_at, 4);
            at = next;
        }
    }
    return 0;
}

// A launcher linked statically has no loader and no dynamic section: its
// start-up code applies the IRELATIVE relocations of the C library's
// indirect functions itself, from the table that the linker puts between
// __rela_iplt_start and __rela_iplt_end (__rel_iplt_* on i386), which is the
// loaded relocation section. Only the section headers show where it lies.
void static_relocations(const ElfFile &file, RelocationCheck &check)
{
    std::vector<ElfSectionEntry> sections;
    std::string ignored;
    if (elf_sections(file, sections, ignored) != 0)
        return;
    for (const ElfSectionEntry &s : sections)
        if ((s.header.sh_flags & SHF_ALLOC) != 0 &&
            (s.header.sh_type == SHT_RELA || s.header.sh_type == SHT_REL))
            check.table(s.header.sh_addr, s.header.sh_size, s.header.sh_type == SHT_RELA);
}

void relocation_problems(const ElfFile &file, const TargetInfo &target, const std::vector<PlacedSection> &payload,
                         std::vector<std::string> &problems)
{
    std::vector<GElf_Phdr> headers = program_headers(file);
    RelocationCheck check = {&file, &headers, &target, &payload, 0, &problems, 0};
    bool linked_dynamically = std::any_of(headers.begin(), headers.end(),
                                          [](const GElf_Phdr &p) { return p.p_type == PT_DYNAMIC; });
    if (!linked_dynamically)
        static_relocations(file, check);
    for (const GElf_Phdr &p : headers) {
        if (p.p_type != PT_DYNAMIC)
            continue;
        // The loader reads the dynamic array where it is loaded.
        const unsigned char *dynamic = elf_loaded_bytes(file, headers, p.p_vaddr, p.p_filesz);
        std::vector<GElf_Dyn> entries;
        if (dynamic == nullptr ||
            elf_dynamic_entries(file, (uint64_t)(dynamic - file.image), p.p_filesz, entries) != 0) {
            check.add("the dynamic section is not loaded from the file");
            continue;
        }
        uint64_t tags[40] = {};
        for (const GElf_Dyn &dyn : entries)
            if ((uint64_t)dyn.d_tag < sizeof tags / sizeof tags[0])
                tags[dyn.d_tag] = dyn.d_un.d_val;
        check.symbols = tags[DT_SYMTAB];
        check.table(tags[DT_RELA], tags[DT_RELASZ], true);
        check.table(tags[DT_REL], tags[DT_RELSZ], false);
        check.table(tags[DT_JMPREL], tags[DT_PLTRELSZ], tags[DT_PLTREL] == DT_RELA);
        check.relative_table(tags[DT_RELR], tags[DT_RELRSZ]);
    }
    if (check.found > MOST_PROBLEMS)
        problems.push_back("and " + std::to_string(check.found - MOST_PROBLEMS) +
                           " more relocations of the payload");
}
