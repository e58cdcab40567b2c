// How much of a program or library is debug information.
#ifndef SFXPACK_DEBUG_SECTIONS_H
#define SFXPACK_DEBUG_SECTIONS_H

#include <stdint.h>

#include <string>

// The bytes that the file's .debug_* and .zdebug_* sections take; 0 for a
// file that is not ELF or has none. Returns 0, or -1 with "PATH: reason"
// when the file cannot be opened.
int debug_section_bytes(const std::string &path, uint64_t &bytes, std::string &error);

#endif
