#include "read/launcher_reader.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "elf/elf_object.h"
#include "elf/elf_read.h"
#include "format.h"
#include "format/entry_name.h"
#include "read/launcher_integrity.h"
#include "format/manifest.h"
#include "sys/byte_order.h"
#include "format/stored_stream.h"

namespace {

const char names_section[] = PAYLOAD_NAMES_SECTION;
const char streams_section[] = PAYLOAD_STREAMS_SECTION;
const char table_section[] = PAYLOAD_TABLE_SECTION;
const char loader_section[] = PAYLOAD_LOADER_SECTION;

struct Section {
    bool found = false;
    bool allocated = false;
    uint64_t addr = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
};

// The bytes of [addr, addr + size) when they lie inside the section, or null.
const unsigned char *inside(const unsigned char *file, const Section &s, uint64_t addr,
                            uint64_t size)
{
    if (addr < s.addr || addr - s.addr > s.size || size > s.size - (addr - s.addr))
        return nullptr;
    return file + s.offset + (addr - s.addr);
}

// The entry's name and stored bytes, through the record's pointers, each
// checked against the section it must point into.
void read_entry(const unsigned char *file, const Section &names, const Section &streams,
                uint64_t data_addr, uint64_t name_addr, uint32_t size, LauncherEntry &entry)
{
    const unsigned char *name = inside(file, names, name_addr, 1);
    if (name == nullptr) {
        entry.problem = "its name pointer leaves " + std::string(names_section);
        return;
    }
    size_t room = (size_t)(names.size - (name_addr - names.addr));
    if (!elf_bounded_string(name, room, 0, entry.name)) {
        entry.problem = "its name has no NUL before the end of " + std::string(names_section);
        return;
    }
    entry.stored_size = size;
    entry.stored = inside(file, streams, data_addr, size);
    if (entry.stored == nullptr) {
        entry.problem = "its " + std::to_string(size) + " stored bytes leave " +
                        std::string(streams_section);
        return;
    }
    entry.problem = entry_name_problem(entry.name);

    uint32_t skipped = leading_zero_skipped(entry.stored, size);
    if (size - skipped >= LZMA_ALONE_HEADER_SIZE) {
        entry.unpacked_size = lzma_alone_unpacked_size(entry.stored + skipped);
        entry.unpacked_known = entry.unpacked_size != LZMA_ALONE_SIZE_UNKNOWN;
    }
}

// Names both halves of what identifies a target: a 32-bit file that claims
// x86_64 is neither kind of launcher.
std::string foreign_elf(int elf_class, unsigned machine)
{
    ElfObject object;
    object.elf_class = elf_class;
    object.machine = machine;
    // libelf reads no file of another class.
    return std::string("not a launcher: a ") + (elf_class == ELFCLASS32 ? "32" : "64") +
           "-bit ELF file for " + elf_machine_name(object) +
           " (machine " + std::to_string(machine) +
           "); launchers are 64-bit x86_64 or 32-bit i386 files";
}

int find_sections(const ElfFile &file, size_t file_size, Section &names, Section &streams,
                  Section &table, Section &manifest, Section &loader, std::string &error)
{
    std::vector<ElfSectionEntry> sections;
    if (elf_sections(file, sections, error) != 0)
        return -1;
    for (const ElfSectionEntry &entry : sections) {
        if (!entry.named)
            continue;
        const GElf_Shdr &shdr = entry.header;
        const char *name = entry.name.c_str();
        // Every section lies in the file: one cut short loses the last,
        // the signature, first.
        if (shdr.sh_type != SHT_NOBITS &&
            (shdr.sh_offset > file_size || shdr.sh_size > file_size - shdr.sh_offset)) {
            error = "cut short: section " + printable_name(entry.name) + " ends at byte " +
                    std::to_string(shdr.sh_offset + shdr.sh_size) + ", the file has " +
                    std::to_string(file_size);
            return -1;
        }
        Section *s = strcmp(name, names_section) == 0     ? &names
                     : strcmp(name, streams_section) == 0 ? &streams
                     : strcmp(name, table_section) == 0   ? &table
                     : strcmp(name, manifest_section_name) == 0 ? &manifest
                     : strcmp(name, loader_section) == 0   ? &loader
                                                            : nullptr;
        if (s == nullptr)
            continue;
        if (s->found) {
            error = std::string("two sections named ") + name;
            return -1;
        }
        if (shdr.sh_type == SHT_NOBITS) {
            error = std::string("section ") + name + " has no bytes in the file";
            return -1;
        }
        s->found = true;
        s->allocated = (shdr.sh_flags & SHF_ALLOC) != 0;
        s->addr = shdr.sh_addr;
        s->offset = shdr.sh_offset;
        s->size = shdr.sh_size;
    }
    for (const Section *s : {&names, &streams, &table})
        if (!s->found) {
            error = std::string("not a launcher: no section ") +
                    (s == &names ? names_section : s == &streams ? streams_section : table_section);
            return -1;
        }
    return 0;
}

// The launcher follows the table's pointers in memory, where the program
// headers put the file's bytes: each payload section must be loaded from
// exactly the bytes its section header names, or what is read here would
// not be what a run unpacks.
int check_loaded(const std::vector<GElf_Phdr> &headers, const Section &s, const char *name,
                 std::string &error)
{
    for (const GElf_Phdr &phdr : headers) {
        if (!s.allocated || phdr.p_type != PT_LOAD)
            continue;
        if (s.addr < phdr.p_vaddr || s.addr - phdr.p_vaddr > phdr.p_filesz ||
            s.size > phdr.p_filesz - (s.addr - phdr.p_vaddr))
            continue;
        if (phdr.p_offset + (s.addr - phdr.p_vaddr) == s.offset)
            return 0;
    }
    error = std::string("not a launcher: section ") + name +
            " is not loaded from its own bytes";
    return -1;
}

int check_payload_loaded(const ElfFile &file, const Section &names, const Section &streams,
                         const Section &table, const Section &loader, std::string &error)
{
    // A program header that cannot be read loads nothing.
    std::vector<GElf_Phdr> headers;
    elf_program_headers(file, headers);
    if (check_loaded(headers, names, names_section, error) != 0 ||
        check_loaded(headers, streams, streams_section, error) != 0 ||
        check_loaded(headers, table, table_section, error) != 0 ||
        (loader.found && check_loaded(headers, loader, loader_section, error) != 0))
        return -1;
    return 0;
}

// The --libc record: four uint32_t, then the pointer to the loader's entry
// name, which the packer puts just after it in the same section. A run
// writes the work directory's path at both offsets of the program's file,
// so each room must lie inside the program.
void read_loader_record(const unsigned char *file, const Section &loader,
                        const TargetInfo &target, LauncherImage &image)
{
    const std::string what = std::string("the loader record in ") + loader_section;
    if (loader.size < 16 + (uint64_t)target.pointer_size) {
        image.table_problems.push_back(what + " is cut short");
        return;
    }
    const unsigned char *r = file + loader.offset;
    LoaderRecord &record = image.loader;
    record.interpreter_at = (uint32_t)read_le(r, 4);
    record.interpreter_room = (uint32_t)read_le(r + 4, 4);
    record.library_dir_at = (uint32_t)read_le(r + 8, 4);
    record.library_dir_room = (uint32_t)read_le(r + 12, 4);
    uint64_t name_addr = read_le(r + 16, target.pointer_size);
    const unsigned char *name = inside(file, loader, name_addr, 1);
    if (name == nullptr ||
        !elf_bounded_string(name, (size_t)(loader.size - (name_addr - loader.addr)), 0,
                            record.loader_name)) {
        image.table_problems.push_back(what + " names its loader outside the section");
        return;
    }
    record.present = true;
    if (image.entries.empty() || !image.entries[0].unpacked_known)
        return;
    uint64_t program = image.entries[0].unpacked_size;
    for (uint64_t end : {(uint64_t)record.interpreter_at + record.interpreter_room,
                         (uint64_t)record.library_dir_at + record.library_dir_room})
        if (end > program) {
            image.table_problems.push_back(what + " has a run write up to byte " +
                                           std::to_string(end) + " of the program's " +
                                           std::to_string(program));
            return;
        }
}

// The table's records up to the terminator, checked against the sections.
int read_table(const unsigned char *file, const Section &names, const Section &streams,
               const Section &table, const TargetInfo &target, LauncherImage &image,
               std::string &error)
{
    const size_t pointer = target.pointer_size;
    const size_t record = target.entry_size;
    const unsigned char *p = file + table.offset;
    uint64_t records = table.size / record;
    for (uint64_t i = 0;; i++) {
        if (i == records) {
            error = "the entry table in " + std::string(table_section) +
                    " has no terminating record";
            return -1;
        }
        const unsigned char *r = p + i * record;
        uint64_t data_addr = read_le(r, pointer);
        uint64_t name_addr = read_le(r + pointer, pointer);
        uint32_t size = (uint32_t)read_le(r + 2 * pointer, 4);
        if (name_addr == 0) {
            if (data_addr != 0 || size != 0)
                image.table_problems.push_back(
                    i == 0 ? std::string("the terminating record, the table's first, is not "
                                         "all zero")
                           : "the terminating record after entry " + std::to_string(i - 1) +
                                 " is not all zero");
            break;
        }
        LauncherEntry entry;
        read_entry(file, names, streams, data_addr, name_addr, size, entry);
        image.entries.push_back(entry);
    }
    if (image.entries.empty())
        image.table_problems.push_back("the entry table is empty: there is no program to run");
    if (image.entries.size() > PAYLOAD_MAX_ENTRIES)
        image.table_problems.push_back(std::to_string(image.entries.size()) +
                                       " entries: the launcher unpacks at most " +
                                       std::to_string(PAYLOAD_MAX_ENTRIES));
    std::set<std::string> seen;
    for (LauncherEntry &entry : image.entries) {
        if (entry.problem.empty() && !seen.insert(entry.name).second)
            entry.problem = "its name is also an earlier entry's (it would replace that file)";
        if (entry.problem.empty()) {
            std::string dictionary = dictionary_problem(entry.stored, entry.stored_size, target);
            if (!dictionary.empty())
                entry.problem = "its " + dictionary;
        }
    }
    return 0;
}

// The digest of the code, the runtime's mark and the relocations, which the
// launcher's own table cannot show.
void read_integrity(const ElfFile &file, const unsigned char *data, size_t size, const Section &names,
                    const Section &streams, const Section &table, const Section &manifest,
                    LauncherImage &image)
{
    std::vector<PlacedSection> payload = {
        {names_section, names.offset, names.addr, names.size},
        {streams_section, streams.offset, streams.addr, streams.size},
        {table_section, table.offset, table.addr, table.size}};
    std::vector<PlacedSection> excluded = payload;
    if (manifest.found)
        excluded.push_back({manifest_section_name, manifest.offset, manifest.addr, manifest.size});
    // The cache id of --unpack-once: the manifest records it.
    std::vector<ElfSectionEntry> sections;
    std::string ignored;
    if (elf_sections(file, sections, ignored) == 0)
        for (const ElfSectionEntry &s : sections)
            if (s.named && s.name == PAYLOAD_CACHE_SECTION && s.header.sh_type != SHT_NOBITS)
                excluded.push_back({PAYLOAD_CACHE_SECTION, s.header.sh_offset, s.header.sh_addr,
                                    s.header.sh_size});
    std::vector<PlacedSection> format2 = excluded;
    for (const PlacedSection &field : section_header_fields(file))
        excluded.push_back(field);
    if ((launcher_code_digest(file, data, size, excluded, image.code_sha256,
                              image.code_digest_error) != 0 ||
         launcher_code_digest(file, data, size, format2, image.code_sha256_format2,
                              image.code_digest_error) != 0) &&
        image.code_digest_error.empty())
        image.code_digest_error = "unreadable";
    image.manifest_mark = manifest_format_mark(file, data, size);
    relocation_problems(file, *image.target, payload, image.table_problems);
}

}  // namespace

bool LauncherImage::sound() const { return first_problem().empty(); }

std::string LauncherImage::first_problem() const
{
    for (size_t i = 0; i < entries.size(); i++)
        if (!entries[i].problem.empty())
            return "entry " + std::to_string(i) + " '" + printable_name(entries[i].name) +
                   "': " + entries[i].problem;
    return table_problems.empty() ? "" : table_problems.front();
}

int read_launcher(const unsigned char *data, size_t size, LauncherImage &image,
                  std::string &error)
{
    image = LauncherImage();
    if (size < EI_NIDENT || memcmp(data, ELFMAG, SELFMAG) != 0) {
        error = size < SELFMAG ? "not a launcher: too short to be an ELF file"
                               : "not a launcher: not an ELF file";
        return -1;
    }
    // The records are read little-endian; libelf would also convert a
    // big-endian file's headers in place.
    if (data[EI_DATA] != ELFDATA2LSB) {
        error = "not a launcher: not a little-endian ELF file";
        return -1;
    }
    ElfFile file;
    if (elf_open_memory(data, size, file) != 0) {
        error = std::string("not a launcher: unreadable ELF file: ") + elf_errmsg(-1);
        elf_close(file);
        return -1;
    }
    int result = -1;
    Section names, streams, table, manifest, loader;
    if (elf_read_header(file) != 0) {
        error = std::string("not a launcher: unreadable ELF header: ") + elf_errmsg(-1);
    } else if ((image.target = find_elf_target(file.elf_class, file.header.e_machine)) ==
               nullptr) {
        error = foreign_elf(file.elf_class, file.header.e_machine);
    } else if (file.header.e_shoff > size ||
               (uint64_t)file.header.e_shnum * file.header.e_shentsize >
                   size - file.header.e_shoff) {
        error = "cut short: the section headers end past the file's " + std::to_string(size) +
                " bytes";
    } else if (find_sections(file, size, names, streams, table, manifest, loader, error) == 0 &&
               check_payload_loaded(file, names, streams, table, loader, error) == 0 &&
               read_table(data, names, streams, table, *image.target, image, error) == 0) {
        if (loader.found)
            read_loader_record(data, loader, *image.target, image);
        if (manifest.found) {
            image.has_manifest = true;
            image.manifest = data + manifest.offset;
            image.manifest_size = (size_t)manifest.size;
        }
        read_integrity(file, data, size, names, streams, table, manifest, image);
        result = 0;
    }
    elf_close(file);
    if (result != 0) {
        image.entries.clear();
        image.target = nullptr;
    }
    return result;
}

std::string printable_name(const std::string &name)
{
    std::string out;
    char hex[8];
    for (unsigned char c : name) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += (char)c;
        } else {
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}
