// What a glibc's libc.so.6 says of its release, which a --libc launcher
// carries.
#ifndef SFXPACK_C_LIBRARY_FACTS_H
#define SFXPACK_C_LIBRARY_FACTS_H

#include <stddef.h>

#include <string>

struct CLibraryFacts {
    std::string release;       // "2.36": its newest GLIBC_ version definition
    std::string kernel_floor;  // "3.2": its ABI note (elf/abi_tag.h), empty when it has none
};

// Reads the release from the size bytes of an ELF object. Returns 0, or -1
// with a one-line reason when the object defines no GLIBC_ version.
int read_c_library_facts(const unsigned char *data, size_t size, CLibraryFacts &facts,
                         std::string &error);

#endif
