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
#include "format/tree_links.h"
#include "payload.h"

namespace {

const char names_section[] = PAYLOAD_NAMES_SECTION;
const char streams_section[] = PAYLOAD_STREAMS_SECTION;
const char table_section[] = PAYLOAD_TABLE_SECTION;
const char loader_section[] = PAYLOAD_LOADER_SECTION;
const char tree_section[] = PAYLOAD_TREE_SECTION;
const char env_section[] = PAYLOAD_ENV_SECTION;
const char cache_section[] = PAYLOAD_CACHE_SECTION;

struct Section {
    bool found = false;
    bool allocated = false;
    uint64_t addr = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
};

// Every section the reader looks for.
struct Sections {
    Section names, streams, table, manifest, loader, tree, env, cache;
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
                uint64_t data_addr, uint64_t name_addr, uint32_t size, bool path_name,
                LauncherEntry &entry)
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
    entry.problem = path_name ? entry_path_problem(entry.name) : entry_name_problem(entry.name);

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

int find_sections(const ElfFile &file, size_t file_size, Sections &found, std::string &error)
{
    Section &names = found.names, &streams = found.streams, &table = found.table;
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
                     : strcmp(name, manifest_section_name) == 0 ? &found.manifest
                     : strcmp(name, loader_section) == 0   ? &found.loader
                     : strcmp(name, tree_section) == 0     ? &found.tree
                     : strcmp(name, env_section) == 0      ? &found.env
                     : strcmp(name, cache_section) == 0    ? &found.cache
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

int check_payload_loaded(const ElfFile &file, const Sections &s, std::string &error)
{
    // A program header that cannot be read loads nothing.
    std::vector<GElf_Phdr> headers;
    elf_program_headers(file, headers);
    if (check_loaded(headers, s.names, names_section, error) != 0 ||
        check_loaded(headers, s.streams, streams_section, error) != 0 ||
        check_loaded(headers, s.table, table_section, error) != 0 ||
        (s.loader.found && check_loaded(headers, s.loader, loader_section, error) != 0) ||
        (s.tree.found && check_loaded(headers, s.tree, tree_section, error) != 0) ||
        (s.env.found && check_loaded(headers, s.env, env_section, error) != 0))
        return -1;
    return 0;
}

// What breaks the rules of one of the other executables' rooms (payload.h,
// LoaderRoomRecord) that follows an entry of previous (0: none yet), or
// empty. A run writes into the unpacked bytes of a tree's file, which each
// room must lie inside of.
std::string loader_room_problem(const LauncherImage &image, const LoaderRoomEntry &room,
                                uint32_t previous)
{
    const std::string entry = "entry " + std::to_string(room.entry);
    if (room.entry == 0)
        return "lists entry 0, the program, among the other executables";
    if (room.entry >= image.entries.size())
        return "lists " + entry + ", past the table's " + std::to_string(image.entries.size()) +
               " entries";
    if (room.entry <= previous)
        return "lists " + entry + " after entry " + std::to_string(previous) +
               ": the entries are not in ascending order";
    if (!image.tree)
        return "lists " + entry + " as a tree's executable, but the payload is not a tree";
    if (room.entry < image.tree_entries.size() &&
        image.tree_entries[room.entry].kind != TREE_FILE)
        return "lists " + entry + ", which is not a file";
    const LauncherEntry &file = image.entries[room.entry];
    if (!file.unpacked_known)
        return "";
    for (uint64_t end : {(uint64_t)room.interpreter_at + room.interpreter_room,
                         (uint64_t)room.library_dir_at + room.library_dir_room})
        if (end > file.unpacked_size)
            return "has a run write up to byte " + std::to_string(end) + " of " + entry + "'s " +
                   std::to_string(file.unpacked_size);
    return "";
}

// The --libc record: four uint32_t, then the pointer to the loader's entry
// name, the count of a tree's other executables and the pointer to their
// rooms (u32 entry and the four u32 of a room each), which the packer puts
// after it in the same section, the rooms before the name. A run writes the
// work directory's path at both offsets of each file, so each room must
// lie inside its file. An older record ends at the name's pointer, with the
// name just after it: it lists no other executables.
void read_loader_record(const unsigned char *file, const Section &loader,
                        const TargetInfo &target, LauncherImage &image)
{
    const std::string what = std::string("the loader record in ") + loader_section;
    const uint64_t pointer = target.pointer_size;
    if (loader.size < 16 + pointer) {
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
    if (!image.entries.empty() && image.entries[0].unpacked_known) {
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

    const uint64_t count_at = 16 + pointer;
    const uint64_t others_at = (count_at + 4 + pointer - 1) / pointer * pointer;
    if (name_addr - loader.addr < others_at + pointer)
        return;
    uint64_t count = read_le(r + count_at, 4);
    uint64_t others_addr = read_le(r + others_at, target.pointer_size);
    if (count == 0)
        return;
    const uint64_t room_size = 20;
    const unsigned char *rooms = inside(file, loader, others_addr, count * room_size);
    if (rooms == nullptr) {
        image.table_problems.push_back(what + " lists " + std::to_string(count) + " other " +
                                       (count == 1 ? "executable whose rooms lie"
                                                   : "executables whose rooms lie") +
                                       " outside the section");
        return;
    }
    uint32_t previous = 0;
    for (uint64_t i = 0; i < count; i++) {
        const unsigned char *e = rooms + i * room_size;
        LoaderRoomEntry room;
        room.entry = (uint32_t)read_le(e, 4);
        room.interpreter_at = (uint32_t)read_le(e + 4, 4);
        room.interpreter_room = (uint32_t)read_le(e + 8, 4);
        room.library_dir_at = (uint32_t)read_le(e + 12, 4);
        room.library_dir_room = (uint32_t)read_le(e + 16, 4);
        std::string problem = loader_room_problem(image, room, previous);
        if (!problem.empty()) {
            image.table_problems.push_back(what + " " + problem);
            return;
        }
        record.others.push_back(room);
        previous = room.entry;
    }
}

// The table's records up to the terminator, checked against the sections.
int read_table(const unsigned char *file, const Sections &s, const TargetInfo &target,
               LauncherImage &image, std::string &error)
{
    const Section &names = s.names, &streams = s.streams, &table = s.table;
    image.tree = s.tree.found;
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
        // Entry 0 names the work directory in a tree payload too.
        read_entry(file, names, streams, data_addr, name_addr, size, image.tree && i > 0, entry);
        image.entries.push_back(entry);
    }
    if (image.entries.empty())
        image.table_problems.push_back("the entry table is empty: there is no program to run");
    if (image.entries.size() > PAYLOAD_MAX_ENTRIES && !image.tree)
        image.table_problems.push_back(std::to_string(image.entries.size()) +
                                       " entries: the launcher unpacks at most " +
                                       std::to_string(PAYLOAD_MAX_ENTRIES));
    return 0;
}

// The checks of a flat table's entries, each a file of its own name.
void check_flat_entries(const TargetInfo &target, LauncherImage &image)
{
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
}

// The tree record: u32 count and a pointer to count TreeEntry records, laid
// out per target (u32 kind, mode, link, the pointer to a symbolic link's
// text at the next pointer boundary), all inside the section; the record
// itself opens the section, as the loader record opens its own.
void read_tree_record(const unsigned char *file, const Section &tree, const TargetInfo &target,
                      LauncherImage &image)
{
    const std::string what = std::string("the tree record in ") + tree_section;
    const size_t pointer = target.pointer_size;
    const size_t target_at = (12 + pointer - 1) / pointer * pointer;
    const size_t record = target_at + pointer;
    if (tree.size < 2 * (uint64_t)pointer) {
        image.table_problems.push_back(what + " is cut short");
        return;
    }
    const unsigned char *r = file + tree.offset;
    uint64_t count = read_le(r, 4);
    uint64_t entries_addr = read_le(r + pointer, pointer);
    if (count != image.entries.size()) {
        image.table_problems.push_back(what + " counts " + std::to_string(count) +
                                       " entries, the table holds " +
                                       std::to_string(image.entries.size()));
        return;
    }
    const unsigned char *records = inside(file, tree, entries_addr, count * record);
    if (records == nullptr) {
        image.table_problems.push_back(what + " points at " + std::to_string(count) +
                                       " records outside the section");
        return;
    }
    image.tree_entries.resize((size_t)count);
    for (size_t i = 0; i < count; i++) {
        const unsigned char *e = records + i * record;
        TreeRecord &out = image.tree_entries[i];
        out.kind = (uint32_t)read_le(e, 4);
        out.mode = (uint32_t)read_le(e + 4, 4);
        out.link = (uint32_t)read_le(e + 8, 4);
        uint64_t text_addr = read_le(e + target_at, pointer);
        if (text_addr == 0)
            continue;
        const unsigned char *text = inside(file, tree, text_addr, 1);
        if (text == nullptr ||
            !elf_bounded_string(text, (size_t)(tree.size - (text_addr - tree.addr)), 0,
                                out.target)) {
            if (image.entries[i].problem.empty())
                image.entries[i].problem = std::string("its link target lies outside ") +
                                           tree_section;
            continue;
        }
        out.has_target = true;
    }
}

std::string octal(uint32_t mode)
{
    char text[16];
    snprintf(text, sizeof text, "0%o", mode);
    return text;
}

// What breaks the rules of entry i's kind, mode, link and target, or empty.
std::string tree_entry_problem(const LauncherImage &image, size_t i, const TargetInfo &target)
{
    const LauncherEntry &entry = image.entries[i];
    const TreeRecord &record = image.tree_entries[i];
    if (record.kind > TREE_HARD_LINK)
        return "its kind " + std::to_string(record.kind) + " is none the launcher knows";
    if (i == 0 && record.kind != TREE_FILE)
        return "the program's entry is not a file";
    if (record.kind != TREE_SYMLINK && record.has_target)
        return "it has a link target but is not a symbolic link";
    uint32_t mode = record.kind == TREE_DIRECTORY ? 0700 : 0;
    if (record.kind == TREE_FILE ? record.mode != 0700 && record.mode != 0600
                                 : record.mode != mode)
        return "its mode " + octal(record.mode) + " is not " +
               (record.kind == TREE_FILE ? std::string("0700 or 0600") : octal(mode)) +
               " as its kind has";
    if (record.kind == TREE_FILE) {
        std::string dictionary = dictionary_problem(entry.stored, entry.stored_size, target);
        return dictionary.empty() ? "" : "its " + dictionary;
    }
    if (entry.stored_size != 0)
        return "it is no file, yet has " + std::to_string(entry.stored_size) + " stored bytes";
    if (record.kind == TREE_SYMLINK && !record.has_target)
        return "it is a symbolic link without a target";
    if (record.kind == TREE_HARD_LINK &&
        (record.link >= i || image.tree_entries[record.link].kind != TREE_FILE))
        return "it is a hard link to entry " + std::to_string(record.link) +
               ", which is not an earlier file";
    return "";
}

// The checks of a tree table: each record's rules, each symbolic link
// resolved through the tree, and the paths together.
void check_tree_entries(const TargetInfo &target, LauncherImage &image)
{
    if (image.tree_entries.size() != image.entries.size())
        return;
    std::vector<TreeNode> nodes(image.entries.size());
    for (size_t i = 0; i < nodes.size(); i++) {
        nodes[i].path = image.entries[i].name;
        nodes[i].kind = image.tree_entries[i].kind;
        nodes[i].target = image.tree_entries[i].target;
    }
    TreeIndex index;
    index_tree(nodes, index);
    for (size_t i = 0; i < nodes.size(); i++) {
        LauncherEntry &entry = image.entries[i];
        if (entry.problem.empty())
            entry.problem = tree_entry_problem(image, i, target);
        if (entry.problem.empty() && nodes[i].kind == TREE_SYMLINK)
            entry.problem = tree_link_problem(index, i);
    }
    std::string paths = tree_paths_problem(index);
    if (!paths.empty())
        image.table_problems.push_back(paths);
}

// A record's NAME as --env takes it: [A-Za-z_][A-Za-z0-9_]*, then '='.
bool environment_record_named(const std::string &record)
{
    size_t equals = record.find('=');
    if (equals == 0 || equals == std::string::npos)
        return false;
    for (size_t i = 0; i < equals; i++) {
        char c = record[i];
        bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
        if (!letter && !(i > 0 && c >= '0' && c <= '9'))
            return false;
    }
    return true;
}

// The --env record: u32 count and a pointer to count NUL-ended texts back
// to back inside the section, the record opening it.
void read_environment(const unsigned char *file, const Section &env, const TargetInfo &target,
                      LauncherImage &image)
{
    const std::string what = std::string("the --env records in ") + env_section;
    const size_t pointer = target.pointer_size;
    if (env.size < 2 * (uint64_t)pointer) {
        image.table_problems.push_back(what + " are cut short");
        return;
    }
    const unsigned char *r = file + env.offset;
    uint64_t count = read_le(r, 4);
    uint64_t texts_addr = read_le(r + pointer, pointer);
    image.has_environment = true;
    if (count == 0)
        return;
    const unsigned char *texts = inside(file, env, texts_addr, 1);
    if (texts == nullptr) {
        image.table_problems.push_back(what + " point outside the section");
        return;
    }
    size_t room = (size_t)(env.size - (texts_addr - env.addr));
    size_t at = 0;
    for (uint64_t i = 0; i < count; i++) {
        std::string text;
        if (at >= room || !elf_bounded_string(texts, room, at, text)) {
            image.table_problems.push_back(what + ": record " + std::to_string(i) +
                                           " has no NUL before the end of the section");
            return;
        }
        if (!environment_record_named(text)) {
            image.table_problems.push_back(what + ": record " + std::to_string(i) + " '" +
                                           printable_name(text) + "' is not NAME=VALUE");
            return;
        }
        image.environment.push_back(text);
        at += text.size() + 1;
    }
}

// The digest of the code, the runtime's mark and the relocations, which the
// launcher's own table cannot show.
void read_integrity(const ElfFile &file, const unsigned char *data, size_t size,
                    const Sections &s, LauncherImage &image)
{
    std::vector<PlacedSection> payload = {
        {names_section, s.names.offset, s.names.addr, s.names.size},
        {streams_section, s.streams.offset, s.streams.addr, s.streams.size},
        {table_section, s.table.offset, s.table.addr, s.table.size}};
    std::vector<PlacedSection> excluded = payload;
    if (s.manifest.found)
        excluded.push_back(
            {manifest_section_name, s.manifest.offset, s.manifest.addr, s.manifest.size});
    // The cache id of --unpack-once: the manifest records it.
    if (s.cache.found)
        excluded.push_back({cache_section, s.cache.offset, s.cache.addr, s.cache.size});
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
    // The tree and --env records are code, digested as such, but a
    // relocation into them would change what a run makes all the same.
    if (s.tree.found)
        payload.push_back({tree_section, s.tree.offset, s.tree.addr, s.tree.size});
    if (s.env.found)
        payload.push_back({env_section, s.env.offset, s.env.addr, s.env.size});
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
    Sections s;
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
    } else if (find_sections(file, size, s, error) == 0 &&
               check_payload_loaded(file, s, error) == 0 &&
               read_table(data, s, *image.target, image, error) == 0) {
        if (s.tree.found) {
            read_tree_record(data, s.tree, *image.target, image);
            check_tree_entries(*image.target, image);
        } else {
            check_flat_entries(*image.target, image);
        }
        if (s.env.found)
            read_environment(data, s.env, *image.target, image);
        if (s.cache.found && s.cache.size != SHA256_SIZE)
            image.table_problems.push_back(std::string("the cache id in ") + cache_section +
                                           " has " + std::to_string(s.cache.size) +
                                           " bytes, not " + std::to_string(SHA256_SIZE));
        else if (s.cache.found) {
            image.has_unpack_once_id = true;
            memcpy(image.unpack_once_id, data + s.cache.offset, SHA256_SIZE);
        }
        if (s.loader.found)
            read_loader_record(data, s.loader, *image.target, image);
        if (s.manifest.found) {
            image.has_manifest = true;
            image.manifest = data + s.manifest.offset;
            image.manifest_size = (size_t)s.manifest.size;
        }
        read_integrity(file, data, size, s, image);
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
