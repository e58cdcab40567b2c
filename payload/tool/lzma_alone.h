// LZMA-Alone streams as the launcher expects them.
#ifndef SFXPACK_LZMA_ALONE_H
#define SFXPACK_LZMA_ALONE_H

#include <string>
#include <vector>

typedef std::vector<unsigned char> Bytes;

enum : unsigned {
    LZMA_ALONE_PROPERTIES = 0x5D,  // lc 3, lp 0, pb 2
    LZMA_ALONE_DICTIONARY = 1u << 24,
};

// Compresses data into a stream with the properties byte 0x5D, a 16 MiB
// dictionary, the exact size in the header and no end marker. Returns 0, or
// -1 with the encoder's reason in error.
int compress_lzma_alone(const Bytes &data, Bytes &stream, std::string &error);

// Compresses every input at once, one worker per core. streams[i] belongs to
// inputs[i]; errors[i] is empty unless that input failed.
void compress_all(const std::vector<const Bytes *> &inputs,
                  std::vector<Bytes> &streams, std::vector<std::string> &errors);

#endif
