// The one way the packer reads ELF: through libelf, from bytes in memory (a
// file is mapped first, sys/mapped_file.h), never trusting them. Every
// reader of programs, libraries and launchers goes through these functions,
// so that an address, an offset or a string of a hostile file is checked in
// one place.
#ifndef SFXPACK_ELF_READ_H
#define SFXPACK_ELF_READ_H

#include <gelf.h>
#include <libelf.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct ElfFile {
    Elf *elf = nullptr;  // null when libelf could not start on the bytes
    const unsigned char *image = nullptr;
    size_t image_size = 0;
    GElf_Ehdr header = {};  // once elf_read_header succeeded
    int elf_class = 0;      // ELFCLASS32 or ELFCLASS64, likewise
};

// Starts libelf on size bytes that stay the caller's and are only read.
// Returns 0, or -1 when libelf does not read them as an ELF file
// (elf_errmsg(-1) says why). Call elf_close either way.
int elf_open_memory(const unsigned char *data, size_t size, ElfFile &file);

void elf_close(ElfFile &file);

// Reads the ELF header. Returns 0, or -1 when the file is not ELF or its
// header is unreadable (elf_errmsg(-1) says why).
int elf_read_header(ElfFile &file);

// The class and machine of an ELF header that may be cut short after its
// first 20 bytes, as an entry's first decoded bytes are, in either byte
// order. Returns 0, or -1 when the bytes do not start an ELF header.
int elf_identify(const unsigned char *bytes, size_t size, int &elf_class, unsigned &machine);

// The number of program headers. Returns 0, or -1 when it is unreadable.
int elf_segment_count(const ElfFile &file, size_t &count);

// Every program header, in order. Returns 0, or -1 when their count or one
// of them is unreadable (headers then holds those read before it).
int elf_program_headers(const ElfFile &file, std::vector<GElf_Phdr> &headers);

// The loader's view of a run-time address: the bytes at addr in the first
// PT_LOAD segment that maps it, at most size of them and no further than
// that segment's file bytes, converted to type. Null when no segment maps
// addr or the bytes lie outside the file.
Elf_Data *elf_address_data(const ElfFile &file, const std::vector<GElf_Phdr> &headers,
                           uint64_t addr, uint64_t size, Elf_Type type);

// The bytes of a file opened from memory that the loader puts at [addr,
// addr + length), from the first PT_LOAD segment whose file bytes hold all
// of them and lie inside the file; null when none does.
const unsigned char *elf_loaded_bytes(const ElfFile &file, const std::vector<GElf_Phdr> &headers,
                                      uint64_t addr, uint64_t length);

// The same bytes converted to type by libelf, or null.
Elf_Data *elf_loaded_data(const ElfFile &file, const std::vector<GElf_Phdr> &headers,
                          uint64_t addr, uint64_t length, Elf_Type type);

// The dynamic entries in the size file bytes at offset, up to DT_NULL.
// Returns 0, or -1 when those bytes are not in the file.
int elf_dynamic_entries(const ElfFile &file, uint64_t offset, uint64_t size,
                        std::vector<GElf_Dyn> &entries);

// The NUL-terminated string at offset of the size bytes at bytes, or false
// when it does not end inside them.
bool elf_bounded_string(const void *bytes, size_t size, uint64_t offset, std::string &out);

// A string of string table section table, or false when offset does not
// name one: libelf checks that the section is a string table and that the
// string ends inside it.
bool elf_section_string(const ElfFile &file, size_t table, uint64_t offset, std::string &out);

struct ElfSectionEntry {
    size_t index = 0;
    Elf_Scn *scn = nullptr;
    GElf_Shdr header = {};
    bool named = false;  // the name is readable
    std::string name;
};

// Every section after the null one, in file order, with its name. Returns 0,
// or -1 with a reason that names the libelf error when the section headers
// or their names cannot be read.
int elf_sections(const ElfFile &file, std::vector<ElfSectionEntry> &sections,
                 std::string &error);

// The first section called name, or null.
const ElfSectionEntry *elf_section_named(const std::vector<ElfSectionEntry> &sections,
                                         const std::string &name);

#endif
