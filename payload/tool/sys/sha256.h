// SHA-256 through nettle: the digests that the packer writes into launchers
// and keys its stream cache by.
#ifndef SFXPACK_SHA256_H
#define SFXPACK_SHA256_H

#include <stddef.h>

#include <string>

#include <nettle/sha2.h>

enum { SHA256_SIZE = SHA256_DIGEST_SIZE };

// A digest fed piece by piece, for data that passes through in chunks.
struct Sha256 {
    struct sha256_ctx ctx;
    Sha256() { sha256_init(&ctx); }
    void update(const void *data, size_t size)
    {
        sha256_update(&ctx, size, (const uint8_t *)data);
    }
    void finish(unsigned char out[SHA256_SIZE]) { sha256_digest(&ctx, SHA256_SIZE, out); }
};

void sha256(const void *data, size_t size, unsigned char out[SHA256_SIZE]);

// Lower-case hexadecimal, as sha256sum prints it.
std::string sha256_hex(const unsigned char digest[SHA256_SIZE]);

#endif
