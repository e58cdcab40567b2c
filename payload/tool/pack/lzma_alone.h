// LZMA-Alone streams as the launcher expects them.
#ifndef SFXPACK_LZMA_ALONE_H
#define SFXPACK_LZMA_ALONE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "format/stored_stream.h"
#include "sys/bytes.h"
#include "sys/mapped_file.h"
#include "sys/sha256.h"

// The encoder's effort: 0 is the fastest, 9 the smallest. Every level writes
// the same header, so a launcher unpacks alike whichever level packed it.
enum { LZMA_LEVEL_FASTEST = 0, LZMA_LEVEL_BEST = 9 };

// The match finder's settings of one level, as the LZMA SDK names them.
struct EncoderEffort {
    unsigned window;   // the farthest back a match may reach; the header
                       // still says 16 MiB, which only bounds it
    int algo;          // 0 fast, 1 normal (optimal parsing)
    int bt_mode;       // 0 hash chain, 1 binary tree
    int hash_bytes;    // bytes hashed to find a match
    int fb;            // longest match worth looking past
    unsigned mc;       // match candidates examined per position
};

const EncoderEffort &encoder_effort(int level);

// Everything that decides a stream's bytes besides its input, as one line:
// the encoder's version, the header's fields and the level's effort.
std::string encoder_settings_text(int level, uint32_t dictionary = LZMA_ALONE_DICTIONARY);

// The dictionary a tree payload's file of size bytes gets: no larger than
// the file, in whole 4 KiB, so that the launcher sets up a small decoder
// for a small file; LZMA_ALONE_DICTIONARY for larger ones and in a flat
// payload, whose streams stay as they always were.
uint32_t tree_file_dictionary(uint64_t size);

// Told how many input bytes the encoder has consumed so far, from the thread
// that compresses; called often, so it must be cheap.
struct EncodeProgress {
    void (*report)(void *context, uint64_t consumed);
    void *context;
};

// Compresses data into a stream with the header of stored_stream.h
// (LZMA_ALONE_PROPERTIES, LZMA_ALONE_DICTIONARY), the exact size in the
// header and no end marker. Returns 0, or -1 with the encoder's reason in
// error. A dictionary other than LZMA_ALONE_DICTIONARY goes into the header
// only when it is no smaller than the input, which no match can then reach
// past.
int compress_lzma_alone(const Bytes &data, Bytes &stream, std::string &error,
                        int level = LZMA_LEVEL_BEST,
                        const EncodeProgress *progress = nullptr);
int compress_lzma_alone(const unsigned char *data, size_t input_size, Bytes &stream,
                        std::string &error, int level, const EncodeProgress *progress,
                        uint32_t dictionary = LZMA_ALONE_DICTIONARY);

struct StreamCache;
struct ProgressLine;

struct CompressWork {
    int level = LZMA_LEVEL_BEST;
    StreamCache *cache = nullptr;      // reuse and keep streams, when given
    ProgressLine *progress = nullptr;  // count what is done, when given
    bool small_dictionaries = false;   // a tree's files: tree_file_dictionary
};

// A file to compress, as it was when the packer read it.
struct CompressInput {
    std::string path;
    FileIdentity identity;
};

struct Compressed {
    Bytes stream;
    unsigned char sha256[SHA256_SIZE] = {};  // of the input: the cache's key, the manifest's
    std::string error;  // "PATH: reason" when the input failed, else empty
};

// Compresses every input at once, one worker per core, largest first. Each
// is mapped only while a worker digests and compresses it, and only if it is
// still the file that was read (sys/mapped_file.h): however many inputs,
// no more are mapped at once than there are workers. out[i] belongs to
// inputs[i].
void compress_all(const std::vector<CompressInput> &inputs, const CompressWork &work,
                  std::vector<Compressed> &out);

#endif
