// The SSH wire encoding that OpenSSH's key and signature files share:
// big-endian uint32s and length-prefixed strings, and the base64 that wraps
// them in text.
#ifndef SFXPACK_SSH_WIRE_H
#define SFXPACK_SSH_WIRE_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "sys/bytes.h"

void put_u32(Bytes &out, uint32_t value);
void put_string(Bytes &out, const void *data, size_t size);
void put_string(Bytes &out, const std::string &text);
void put_string(Bytes &out, const Bytes &bytes);

// Reads a buffer that may be hostile: every length is checked against what
// is left, and a read past the end fails instead.
struct WireReader {
    const unsigned char *at;
    size_t left;
    WireReader(const unsigned char *data, size_t size) : at(data), left(size) {}
    explicit WireReader(const Bytes &bytes) : at(bytes.data()), left(bytes.size()) {}
    // Each returns 0, or -1 when the buffer ends first.
    int u32(uint32_t &value);
    int string(Bytes &value);
    int string(std::string &value);
};

std::string base64_text(const unsigned char *data, size_t size);

// Strict base64: the alphabet, '=' padding only at the end, nothing else
// (no line breaks). Returns 0, or -1 when text is not base64.
int base64_bytes(const std::string &text, Bytes &out);

#endif
