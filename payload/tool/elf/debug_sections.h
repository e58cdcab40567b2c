// How much of a program or library is debug information.
#ifndef SFXPACK_DEBUG_SECTIONS_H
#define SFXPACK_DEBUG_SECTIONS_H

#include <stddef.h>
#include <stdint.h>

// The bytes that the .debug_* and .zdebug_* sections of the size bytes at
// data take; 0 for a file that is not ELF or has none.
uint64_t debug_section_bytes(const unsigned char *data, size_t size);

#endif
