// Compressed streams kept between packs: a stream depends only on its input
// and the encoder's settings, so one made before is as good as a new one.
#ifndef SFXPACK_STREAM_CACHE_H
#define SFXPACK_STREAM_CACHE_H

#include <stdint.h>

#include <atomic>
#include <string>

#include "format/stored_stream.h"
#include "sys/bytes.h"
#include "sys/sha256.h"

enum : uint64_t { CACHE_DEFAULT_MAX = 1ull << 30 };

struct StreamCache {
    std::string dir;
    uint64_t max_bytes = CACHE_DEFAULT_MAX;
    std::atomic<bool> writable{false};
    std::atomic<bool> warned{false};  // a cache says what is wrong with it once
    std::atomic<bool> stored{false};  // it grew during this pack
};

struct CacheKey {
    unsigned char digest[SHA256_SIZE];
    // The input the key was made from: a kept stream must say it was made
    // from this input and unpack to its size, or it is not used.
    uint64_t input_size = 0;
    unsigned char input_sha256[SHA256_SIZE] = {};
    // The dictionary its header must give: a tree's small files have their own.
    uint32_t dictionary = LZMA_ALONE_DICTIONARY;
};

// Finds the cache (SFXPACK_CACHE, $XDG_CACHE_HOME/sfxpack or
// ~/.cache/sfxpack) and its bound (SFXPACK_CACHE_MAX), making the directory
// when needed. Returns 0, or -1 when there is no cache to read (after a
// warning where that is a surprise). A cache that cannot be written is still
// read, with a warning.
int open_stream_cache(StreamCache &cache);

// The key of input's stream under settings, from the input's own SHA-256,
// which the packer has already taken for the launcher's manifest.
void cache_key(const std::string &settings, uint64_t input_size,
               const unsigned char input_sha256[SHA256_SIZE], CacheKey &key);
void cache_key(const std::string &settings, const Bytes &input, CacheKey &key);

// Returns 0 with the kept stream, or -1 when there is none, it is damaged,
// or it was not made from key's input.
int cache_load(const StreamCache &cache, const CacheKey &key, Bytes &stream);

// Keeps a stream, atomically; a failure only warns.
void cache_store(StreamCache &cache, const CacheKey &key, const Bytes &stream);

// Removes the least recently used streams while the cache holds more than
// its bound, and temporary files that a killed packer left.
void trim_stream_cache(StreamCache &cache);

// "1G", "500M", "64K" (powers of 1024) or plain bytes. Returns 0 or -1.
int parse_cache_size(const std::string &text, uint64_t &bytes);

#endif
