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

// The newest GLIBC_ version that the size bytes of an ELF object define,
// as a release ("2.36"): what a C library says of itself. Empty when the
// object defines none.
std::string defined_glibc_release(const unsigned char *data, size_t size);

#endif
