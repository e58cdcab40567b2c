// Reading a built launcher's sections, segments, dynamic entries and version
// needs with libelf, apart from the packer's ELF layer.
#ifndef SFXLAUNCH_TESTS_ELF_FILE_H
#define SFXLAUNCH_TESTS_ELF_FILE_H

#include <stdint.h>

#include <string>
#include <vector>

struct ElfSection {
    std::string name;
    uint32_t type = 0;
    uint64_t flags = 0;
    uint64_t addr = 0;
    uint64_t size = 0;
    uint64_t align = 0;
    uint64_t offset = 0;  // in the file
    std::string bytes;  // empty for NOBITS
};

// A PT_LOAD program header: the file bytes [offset, offset + size).
struct ElfSegment {
    uint64_t offset = 0;
    uint64_t size = 0;
};

// One version that the image needs of a shared library (.gnu.version_r).
struct ElfVersionNeed {
    std::string file;     // e.g. libc.so.6
    std::string version;  // e.g. GLIBC_2.2.5
};

struct ElfImage {
    int elf_class = 0;  // ELFCLASS32 or ELFCLASS64
    std::vector<ElfSection> sections;  // in file order
    std::vector<ElfSegment> loaded;    // in program header order
    std::vector<std::string> needed;
    std::string runpath;  // DT_RUNPATH, empty when there is none
    std::string rpath;    // DT_RPATH
    bool textrel = false;
    std::vector<ElfVersionNeed> version_needs;

    // Returns 0, or -1 with a reason.
    int load(const std::string &path, std::string &error);
    const ElfSection *find(const std::string &name) const;
    int index_of(const std::string &name) const;
    // The bytes at a virtual address, from the section that holds it.
    bool read(uint64_t addr, size_t size, std::string &out) const;
};

#endif
