#include "elf/version_needs.h"

#include <elf.h>
#include <limits.h>
#include <stdint.h>
#include <string.h>

#include <functional>
#include <map>

#include "elf/elf_read.h"

namespace {

const char damaged[] = "damaged ELF file (version needs)";

// The string at an offset of the string table that an object's version
// needs name, or false when there is none.
typedef std::function<bool(GElf_Word offset, std::string &out)> StringTable;

struct Pick {
    std::string undefined;  // the first undefined symbol bound to the version
    std::string defined;    // else the first defined one (a copy-relocated variable)
};

// The count entries of a version needs table (.gnu.version_r), in file
// order; index maps each version's number (what .gnu.version holds) to its
// entry. The image is untrusted: every link must lie inside the table, and
// entries never overlap in a real file, so a chain that steps by less than
// one entry is damage, not a loop to follow.
int read_verneed(Elf_Data *data, GElf_Xword count, const StringTable &strings,
                 std::vector<VersionNeed> &needs, std::map<unsigned, size_t> &index)
{
    if (data == nullptr)
        return -1;
    size_t limit = data->d_size / sizeof(GElf_Vernaux) + 1;
    uint64_t offset = 0;
    for (GElf_Xword i = 0; i < count; i++) {
        GElf_Verneed need;
        if (offset > INT_MAX || gelf_getverneed(data, (int)offset, &need) == nullptr)
            return -1;
        std::string library;
        if (!strings(need.vn_file, library))
            return -1;
        uint64_t aux = offset + need.vn_aux;
        for (GElf_Half j = 0; j < need.vn_cnt; j++) {
            GElf_Vernaux version;
            if (aux > INT_MAX || gelf_getvernaux(data, (int)aux, &version) == nullptr)
                return -1;
            VersionNeed entry;
            entry.library = library;
            if (!strings(version.vna_name, entry.version))
                return -1;
            if (needs.size() >= limit)
                return -1;
            index[version.vna_other & 0x7fff] = needs.size();
            needs.push_back(entry);
            if (version.vna_next == 0)
                break;
            if (version.vna_next < sizeof(GElf_Vernaux))
                return -1;
            aux += version.vna_next;
        }
        if (need.vn_next == 0)
            break;
        if (need.vn_next < sizeof(GElf_Verneed))
            return -1;
        offset += need.vn_next;
    }
    return 0;
}

// One symbol per needed version, from .gnu.version and the .dynsym it
// belongs to, in symbol table order so that the choice is the same every run.
// A symbol whose name cannot be read is passed over: the version itself is
// what matters.
int pick_symbols(const ElfFile &file, Elf_Scn *versym_scn, const GElf_Shdr &versym_header,
                 std::vector<VersionNeed> &needs, const std::map<unsigned, size_t> &index)
{
    Elf *elf = file.elf;
    Elf_Scn *dynsym_scn = elf_getscn(elf, versym_header.sh_link);
    GElf_Shdr dynsym_header;
    if (dynsym_scn == nullptr || gelf_getshdr(dynsym_scn, &dynsym_header) == nullptr ||
        dynsym_header.sh_type != SHT_DYNSYM)
        return -1;
    Elf_Data *versyms = elf_getdata(versym_scn, nullptr);
    Elf_Data *symbols = elf_getdata(dynsym_scn, nullptr);
    size_t symbol_size = gelf_fsize(elf, ELF_T_SYM, 1, EV_CURRENT);
    if (versyms == nullptr || symbols == nullptr || symbol_size == 0)
        return -1;
    size_t count = versyms->d_size / sizeof(GElf_Versym);
    if (symbols->d_size / symbol_size < count)
        count = symbols->d_size / symbol_size;
    if (count > INT_MAX)
        count = INT_MAX;

    std::vector<Pick> picks(needs.size());
    for (size_t i = 1; i < count; i++) {
        GElf_Versym versym;
        if (gelf_getversym(versyms, (int)i, &versym) == nullptr)
            return -1;
        auto found = index.find(versym & 0x7fff);
        if (found == index.end())
            continue;
        Pick &pick = picks[found->second];
        if (!pick.undefined.empty())
            continue;
        GElf_Sym symbol;
        std::string name;
        if (gelf_getsym(symbols, (int)i, &symbol) == nullptr)
            return -1;
        if (!elf_section_string(file, dynsym_header.sh_link, symbol.st_name, name) || name.empty())
            continue;
        if (symbol.st_shndx == SHN_UNDEF)
            pick.undefined = name;
        else if (pick.defined.empty())
            pick.defined = name;
    }
    for (size_t i = 0; i < needs.size(); i++)
        needs[i].symbol = !picks[i].undefined.empty() ? picks[i].undefined : picks[i].defined;
    return 0;
}

// A file without section headers still carries what the loader reads: the
// dynamic segment's DT_VERNEED. No symbol is picked then.
int read_verneed_from_segments(const ElfFile &file, std::vector<VersionNeed> &needs)
{
    std::vector<GElf_Phdr> headers;
    if (elf_program_headers(file, headers) != 0)
        return -1;
    std::vector<GElf_Dyn> entries;
    const GElf_Phdr *dynamic = nullptr;
    for (const GElf_Phdr &phdr : headers)
        if (phdr.p_type == PT_DYNAMIC && phdr.p_offset <= INT64_MAX)
            dynamic = &phdr;
    // Unreadable dynamic bytes ask for no versions.
    if (dynamic != nullptr)
        elf_dynamic_entries(file, dynamic->p_offset, dynamic->p_filesz, entries);
    GElf_Addr verneed = 0, strtab = 0;
    GElf_Xword count = 0, strsz = 0;
    // cppcheck does not see elf_dynamic_entries fill entries.
    // cppcheck-suppress knownEmptyContainer
    for (const GElf_Dyn &dyn : entries) {
        switch (dyn.d_tag) {
        case DT_VERNEED: verneed = dyn.d_un.d_ptr; break;
        case DT_VERNEEDNUM: count = dyn.d_un.d_val; break;
        case DT_STRTAB: strtab = dyn.d_un.d_ptr; break;
        case DT_STRSZ: strsz = dyn.d_un.d_val; break;
        default: break;
        }
    }
    // cppcheck-suppress knownConditionTrueFalse
    if (verneed == 0 || count == 0)
        return 0;
    Elf_Data *strings = elf_address_data(file, headers, strtab, strsz, ELF_T_BYTE);
    if (strings == nullptr || strings->d_buf == nullptr)
        return -1;
    StringTable lookup = [strings](GElf_Word offset, std::string &out) {
        return elf_bounded_string(strings->d_buf, strings->d_size, offset, out);
    };
    std::map<unsigned, size_t> index;
    return read_verneed(elf_address_data(file, headers, verneed, UINT64_MAX, ELF_T_VNEED),
                        count, lookup, needs, index);
}

// The numbers of a dotted version ("2.2.5"), or false when the text is not
// one (GLIBC_PRIVATE): such versions name no release to compare.
bool dotted_numbers(const std::string &text, std::vector<unsigned long> &numbers)
{
    numbers.clear();
    size_t i = 0;
    while (i < text.size()) {
        size_t start = i;
        unsigned long value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 9)
            value = value * 10 + (unsigned long)(text[i++] - '0');
        if (i == start || (i < text.size() && text[i] != '.'))
            return false;
        numbers.push_back(value);
        if (i < text.size() && ++i == text.size())
            return false;
    }
    return !numbers.empty();
}

}  // namespace

int read_version_needs(const unsigned char *data, size_t size,
                       std::vector<VersionNeed> &needs, std::string &error)
{
    needs.clear();
    ElfFile file;
    if (elf_open_memory(data, size, file) != 0 || elf_read_header(file) != 0) {
        bool magic = size >= SELFMAG && memcmp(data, ELFMAG, SELFMAG) == 0;
        error = magic ? "damaged ELF file (headers)" : "not an ELF file";
        elf_close(file);
        return -1;
    }

    std::vector<ElfSectionEntry> sections;
    std::string unreadable;
    int rc = elf_sections(file, sections, unreadable);
    Elf_Scn *verneed_scn = nullptr, *versym_scn = nullptr;
    GElf_Shdr verneed_header = {}, versym_header = {};
    for (const ElfSectionEntry &s : sections) {
        if (s.header.sh_type == SHT_GNU_verneed && verneed_scn == nullptr) {
            verneed_scn = s.scn;
            verneed_header = s.header;
        } else if (s.header.sh_type == SHT_GNU_versym && versym_scn == nullptr) {
            versym_scn = s.scn;
            versym_header = s.header;
        }
    }
    std::map<unsigned, size_t> index;
    StringTable strings = [&file, &verneed_header](GElf_Word offset, std::string &out) {
        return elf_section_string(file, verneed_header.sh_link, offset, out);
    };
    if (rc == 0 && verneed_scn != nullptr)
        rc = read_verneed(elf_getdata(verneed_scn, nullptr), verneed_header.sh_info, strings,
                          needs, index);
    else if (rc == 0)
        rc = read_verneed_from_segments(file, needs);
    if (rc == 0 && versym_scn != nullptr && !needs.empty())
        rc = pick_symbols(file, versym_scn, versym_header, needs, index);
    elf_close(file);
    if (rc != 0) {
        needs.clear();
        error = damaged;
    }
    return rc;
}

void keep_deciding_needs(std::vector<VersionNeed> &needs)
{
    std::vector<VersionNeed> kept;
    std::vector<unsigned long> numbers;
    auto known = [&kept](const std::string &version) {
        for (const VersionNeed &k : kept)
            if (k.version == version)
                return true;
        return false;
    };
    for (const VersionNeed &need : needs) {
        size_t underscore = need.version.find('_');
        std::string family = need.version.substr(0, underscore + 1);
        VersionNeed newest;
        bool numbered = underscore != std::string::npos &&
                        dotted_numbers(need.version.substr(underscore + 1), numbers);
        if (!numbered) {
            if (!known(need.version))
                kept.push_back(need);
        } else if (newest_need(needs, family, newest) && !known(newest.version)) {
            kept.push_back(newest);
        }
    }
    needs.swap(kept);
}

bool newest_need(const std::vector<VersionNeed> &needs, const std::string &prefix,
                 VersionNeed &newest)
{
    bool found = false;
    std::vector<unsigned long> best, numbers;
    for (const VersionNeed &need : needs) {
        if (need.version.compare(0, prefix.size(), prefix) != 0 ||
            !dotted_numbers(need.version.substr(prefix.size()), numbers))
            continue;
        if (!found || numbers > best) {
            best = numbers;
            newest = need;
            found = true;
        }
    }
    return found;
}
