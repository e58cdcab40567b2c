#include "sys/sha256.h"

void sha256(const void *data, size_t size, unsigned char out[SHA256_SIZE])
{
    Sha256 digest;
    digest.update(data, size);
    digest.finish(out);
}

std::string sha256_hex(const unsigned char digest[SHA256_SIZE])
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < SHA256_SIZE; i++) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}
