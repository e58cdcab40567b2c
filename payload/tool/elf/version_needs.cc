#include "elf/version_needs.h"

#include <elf.h>
#include <gelf.h>
#include <libelf.h>
#include <limits.h>
#include <stdint.h>
#include <string.h>

#include <functional>
#include <map>

namespace {

const char damaged[] = "damaged ELF file (version needs)";

// The string at an offset of the string table that an object's version
// needs name, or false when there is none.
typedef std::function<bool(GElf_Word offset, std::string &out)> StringTable;

struct Pick {
    std::string undefined;  // the first undefined symbol bound to the version
    std::string defined;    // else the first defined one (a copy-relocated variable)
};

// A string of a string table section, or false when offset does not name one:
// elf_strptr checks that the section is a string table and that the string
// ends inside it.
bool section_string(Elf *elf, size_t table, GElf_Word offset, std::string &out)
{
    const char *s = elf_strptr(elf, table, offset);
    if (s == nullptr)
        return false;
    out = s;
    return true;
}

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
int pick_symbols(Elf *elf, Elf_Scn *versym_scn, const GElf_Shdr &versym_header,
                 std::vector<VersionNeed> &needs, const std::map<unsigned, size_t> &index)
{
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
        if (!section_string(elf, dynsym_header.sh_link, symbol.st_name, name) || name.empty())
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

struct LoadSegment {
    GElf_Addr vaddr;
    GElf_Off offset;
    GElf_Xword filesz;
};

// The bytes at a run-time address, at most size of them and no further than
// the load segment that maps them, or NULL.
Elf_Data *at_address(Elf *elf, const std::vector<LoadSegment> &loads, GElf_Addr addr,
                     GElf_Xword size, Elf_Type type)
{
    for (const LoadSegment &s : loads) {
        if (addr < s.vaddr || addr - s.vaddr >= s.filesz)
            continue;
        GElf_Xword room = s.filesz - (addr - s.vaddr);
        uint64_t offset = s.offset + (addr - s.vaddr);
        if (offset > INT64_MAX)
            return nullptr;
        return elf_getdata_rawchunk(elf, (int64_t)offset, size < room ? size : room, type);
    }
    return nullptr;
}

// A file without section headers still carries what the loader reads: the
// dynamic segment's DT_VERNEED. No symbol is picked then.
int read_verneed_from_segments(Elf *elf, std::vector<VersionNeed> &needs)
{
    size_t phnum = 0;
    if (elf_getphdrnum(elf, &phnum) != 0)
        return -1;
    std::vector<LoadSegment> loads;
    Elf_Data *dynamic = nullptr;
    for (size_t i = 0; i < phnum; i++) {
        GElf_Phdr phdr;
        if (gelf_getphdr(elf, (int)i, &phdr) == nullptr)
            return -1;
        if (phdr.p_type == PT_LOAD)
            loads.push_back({phdr.p_vaddr, phdr.p_offset, phdr.p_filesz});
        else if (phdr.p_type == PT_DYNAMIC && phdr.p_offset <= INT64_MAX)
            dynamic = elf_getdata_rawchunk(elf, (int64_t)phdr.p_offset, phdr.p_filesz,
                                           ELF_T_DYN);
    }
    GElf_Addr verneed = 0, strtab = 0;
    GElf_Xword count = 0, strsz = 0;
    GElf_Dyn dyn;
    for (int i = 0; dynamic && gelf_getdyn(dynamic, i, &dyn) && dyn.d_tag != DT_NULL; i++) {
        switch (dyn.d_tag) {
        case DT_VERNEED: verneed = dyn.d_un.d_ptr; break;
        case DT_VERNEEDNUM: count = dyn.d_un.d_val; break;
        case DT_STRTAB: strtab = dyn.d_un.d_ptr; break;
        case DT_STRSZ: strsz = dyn.d_un.d_val; break;
        default: break;
        }
    }
    if (verneed == 0 || count == 0)
        return 0;
    Elf_Data *strings = at_address(elf, loads, strtab, strsz, ELF_T_BYTE);
    if (strings == nullptr || strings->d_buf == nullptr)
        return -1;
    StringTable lookup = [strings](GElf_Word offset, std::string &out) {
        if (offset >= strings->d_size)
            return false;
        const char *start = (const char *)strings->d_buf + offset;
        const void *end = memchr(start, '\0', strings->d_size - offset);
        if (end == nullptr)
            return false;
        out.assign(start, (const char *)end);
        return true;
    };
    std::map<unsigned, size_t> index;
    return read_verneed(at_address(elf, loads, verneed, UINT64_MAX, ELF_T_VNEED), count,
                        lookup, needs, index);
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
    elf_version(EV_CURRENT);
    // libelf only reads here: nothing is updated, so the caller's bytes stay
    // as they are.
    Elf *elf = elf_memory((char *)data, size);
    GElf_Ehdr ehdr;
    if (elf == nullptr || elf_kind(elf) != ELF_K_ELF || gelf_getehdr(elf, &ehdr) == nullptr) {
        bool magic = size >= SELFMAG && memcmp(data, ELFMAG, SELFMAG) == 0;
        error = magic ? "damaged ELF file (headers)" : "not an ELF file";
        if (elf)
            elf_end(elf);
        return -1;
    }

    int rc = 0;
    size_t sections = 0;
    Elf_Scn *verneed = nullptr, *versym = nullptr;
    GElf_Shdr verneed_header = {}, versym_header = {};
    if (elf_getshdrnum(elf, &sections) != 0)
        rc = -1;
    for (size_t i = 1; rc == 0 && i < sections; i++) {
        Elf_Scn *scn = elf_getscn(elf, i);
        GElf_Shdr header;
        if (scn == nullptr || gelf_getshdr(scn, &header) == nullptr) {
            rc = -1;
        } else if (header.sh_type == SHT_GNU_verneed && verneed == nullptr) {
            verneed = scn;
            verneed_header = header;
        } else if (header.sh_type == SHT_GNU_versym && versym == nullptr) {
            versym = scn;
            versym_header = header;
        }
    }
    std::map<unsigned, size_t> index;
    StringTable strings = [elf, &verneed_header](GElf_Word offset, std::string &out) {
        return section_string(elf, verneed_header.sh_link, offset, out);
    };
    if (rc == 0 && verneed != nullptr)
        rc = read_verneed(elf_getdata(verneed, nullptr), verneed_header.sh_info, strings,
                          needs, index);
    else if (rc == 0)
        rc = read_verneed_from_segments(elf, needs);
    if (rc == 0 && versym != nullptr && !needs.empty())
        rc = pick_symbols(elf, versym, versym_header, needs, index);
    elf_end(elf);
    if (rc != 0) {
        needs.clear();
        error = damaged;
    }
    return rc;
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
