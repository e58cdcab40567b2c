// What a glibc's libc.so.6 says of itself: its release and the oldest
// kernel it was built for, which become the floor of a --libc launcher.
#ifndef SFXPACK_C_LIBRARY_FACTS_H
#define SFXPACK_C_LIBRARY_FACTS_H

#include <stddef.h>

#include <string>

struct CLibraryFacts {
    std::string release;       // "2.36": its newest GLIBC_ version definition
    std::string kernel_floor;  // "3.2.0": its NT_GNU_ABI_TAG note, empty when it has none
};

// Reads them from the size bytes of an ELF object. Returns 0, or -1 with a
// one-line reason when the object defines no GLIBC_ version.
int read_c_library_facts(const unsigned char *data, size_t size, CLibraryFacts &facts,
                         std::string &error);

// The NT_GNU_ABI_TAG note of an ELF image ("3.2.0"), or "" when it has none
// for Linux.
std::string elf_kernel_floor(const unsigned char *data, size_t size);

#endif
