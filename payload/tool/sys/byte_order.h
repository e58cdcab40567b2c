// Integers as every format the packer reads or writes stores them: little
// endian, 1 to 8 bytes wide (the launcher's table, the stream headers, ELF
// notes and relocations, the manifest, the stream cache's records).
#ifndef SFXPACK_BYTE_ORDER_H
#define SFXPACK_BYTE_ORDER_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "sys/bytes.h"

uint64_t read_le(const unsigned char *bytes, size_t width);
void write_le(unsigned char *bytes, uint64_t value, size_t width);

// write_le onto the end of out.
void append_le(Bytes &out, uint64_t value, size_t width);
void append_le(std::string &out, uint64_t value, size_t width);

#endif
