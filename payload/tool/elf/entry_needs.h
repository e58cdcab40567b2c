// The newest glibc symbol version that an ELF file needs, for --inspect.
#ifndef SFXPACK_ENTRY_NEEDS_H
#define SFXPACK_ENTRY_NEEDS_H

#include <stddef.h>

#include <string>
#include <vector>

#include "elf/version_needs.h"

// "GLIBC_2.34" and the like, or empty when the file needs no glibc version
// (or its version needs cannot be read).
std::string newest_glibc_need(const unsigned char *elf, size_t size);
std::string newest_glibc_need(const std::string &elf);
// The same of needs already read.
std::string newest_glibc_need(const std::vector<VersionNeed> &needs);

#endif
