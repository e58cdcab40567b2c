/* The bare decode loop that the launcher is measured against: the same SDK
 * decoder, compiled the same way, driven in the same 4096-byte chunks from
 * streams mapped in memory, with nothing of the launcher around it.
 *
 *   sdk_decode [-b BUFFER_BYTES] OUTDIR STREAM...
 *
 * Each STREAM (an LZMA-Alone file NAME.lzma) is decoded into OUTDIR/NAME.
 * -b sets the output file's stdio buffer; 0 keeps libc's default, which
 * costs one write(2) per chunk. */
#define _FILE_OFFSET_BITS 64
#define _GNU_SOURCE

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "LzmaDec.h"

enum { OUT_CHUNK = 4096, HEADER_SIZE = LZMA_PROPS_SIZE + 8 };

static void *sdk_alloc(void *p, size_t size) { (void)p; return malloc(size); }
static void sdk_free(void *p, void *address) { (void)p; free(address); }
static ISzAlloc allocator = {sdk_alloc, sdk_free};

static uint64_t read_le64(const unsigned char *p)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; i--)
        value = value << 8 | p[i];
    return value;
}

static int decode(const unsigned char *stream, size_t length, FILE *out)
{
    CLzmaDec state;
    unsigned char chunk[OUT_CHUNK];

    if (length < HEADER_SIZE)
        return -1;
    LzmaDec_Construct(&state);
    if (LzmaDec_Allocate(&state, stream, LZMA_PROPS_SIZE, &allocator) != SZ_OK)
        return -1;
    LzmaDec_Init(&state);

    uint64_t remaining = read_le64(stream + LZMA_PROPS_SIZE);
    size_t in_pos = 0;
    int result = -1;
    for (;;) {
        SizeT in_size = length - HEADER_SIZE - in_pos;
        SizeT out_size = OUT_CHUNK;
        ELzmaFinishMode finish = LZMA_FINISH_ANY;
        ELzmaStatus status;
        if (remaining < OUT_CHUNK) {
            out_size = (SizeT)remaining;
            finish = LZMA_FINISH_END;
        }
        if (LzmaDec_DecodeToBuf(&state, chunk, &out_size,
                                stream + HEADER_SIZE + in_pos, &in_size,
                                finish, &status) != SZ_OK)
            break;
        if (remaining != 0 && out_size == 0)
            break;
        remaining -= out_size;
        in_pos += in_size;
        if (fwrite(chunk, 1, out_size, out) != out_size)
            break;
        if (remaining == 0) {
            result = 0;
            break;
        }
    }
    LzmaDec_Free(&state, &allocator);
    return result;
}

static int decode_file(const char *outdir, const char *path, char *buffer,
                       size_t buffer_size)
{
    int fd = open(path, O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        perror(path);
        return -1;
    }
    size_t length = (size_t)st.st_size;
    void *map = length ? mmap(NULL, length, PROT_READ, MAP_PRIVATE, fd, 0) : NULL;
    close(fd);
    if (map == MAP_FAILED) {
        perror(path);
        return -1;
    }

    const char *base = strrchr(path, '/') ? strrchr(path, '/') + 1 : path;
    size_t base_length = strlen(base);
    if (base_length > 5 && strcmp(base + base_length - 5, ".lzma") == 0)
        base_length -= 5;
    char out_path[4096];
    snprintf(out_path, sizeof out_path, "%s/%.*s", outdir, (int)base_length, base);

    FILE *out = fopen(out_path, "w");
    if (out == NULL) {
        perror(out_path);
        return -1;
    }
    if (buffer_size)
        setvbuf(out, buffer, _IOFBF, buffer_size);
    int result = decode((const unsigned char *)map, length, out);
    if (result != 0)
        fprintf(stderr, "%s: decoding or writing failed\n", path);
    if (fclose(out) != 0) {
        perror(out_path);
        result = -1;
    }
    if (map)
        munmap(map, length);
    return result;
}

int main(int argc, char **argv)
{
    size_t buffer_size = 0;
    int first = 1;
    if (argc > 2 && strcmp(argv[1], "-b") == 0) {
        buffer_size = strtoul(argv[2], NULL, 0);
        first = 3;
    }
    if (argc - first < 2) {
        fputs("usage: sdk_decode [-b BUFFER_BYTES] OUTDIR STREAM...\n", stderr);
        return 2;
    }
    char *buffer = buffer_size ? malloc(buffer_size) : NULL;
    if (buffer_size && buffer == NULL) {
        fputs("sdk_decode: out of memory\n", stderr);
        return 1;
    }
    for (int i = first + 1; i < argc; i++)
        if (decode_file(argv[first], argv[i], buffer, buffer_size))
            return 1;
    free(buffer);
    return 0;
}
