// A stored stream decoded by the launcher's own decoder, so that what the
// packer accepts or reads back is exactly what a launcher would unpack.
#ifndef SFXPACK_STORED_STREAM_H
#define SFXPACK_STORED_STREAM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "sys/sha256.h"

// The header of every stream the packer makes: the literal context, literal
// position and position bits it encodes with, the properties byte they make,
// and the dictionary size it writes.
enum : unsigned {
    LZMA_ALONE_LC = 3,
    LZMA_ALONE_LP = 0,
    LZMA_ALONE_PB = 2,
    LZMA_ALONE_PROPERTIES = LZMA_ALONE_LC + 9 * LZMA_ALONE_LP + 45 * LZMA_ALONE_PB,
    LZMA_ALONE_DICTIONARY = 1u << 24,
};

// Decodes the stored bytes of one entry (a leading zero byte skipped, as the
// launcher does) into out. Returns 0, or -1 with the launcher's own text for
// the fault in error ("invalid data", "too short", ...).
int decode_stored_stream(const unsigned char *data, size_t size, FILE *out,
                         std::string &error);

// decode_stored_stream that also counts the stored bytes the decoder read,
// the header and a skipped zero byte included: fewer than size means bytes
// after the end of the LZMA data that a launcher never unpacks.
int decode_stored_stream_counted(const unsigned char *data, size_t size,
                                 FILE *out, uint64_t &used, std::string &error);

// Where a decoder writes when what it unpacks is to be digested rather than
// kept: each chunk goes first to pass_on, when set, which returns 0, or -1
// with errno set to refuse the chunk and so stop the decoder; a chunk taken
// is then digested and counted.
struct DigestSink {
    Sha256 digest;
    uint64_t size = 0;
    int (*pass_on)(void *context, const char *data, size_t size) = nullptr;
    void *context = nullptr;
};

// A stream that writes into sink, or null with errno set.
FILE *open_digest_sink(DigestSink &sink);

struct TargetInfo;

// Why a launcher of target could not set up the decoder for these stored
// bytes, as "dictionary of N bytes is more than ...", or empty when it
// could (or the bytes are too short to say).
std::string dictionary_problem(const unsigned char *data, size_t size,
                               const TargetInfo &target);

#endif
