// The decode loop that the launcher is measured against: the launcher's own
// decode_entry, from the same runtime archive that launchers are linked
// from, driven over streams mapped in memory, with nothing of the launcher
// around it (no work directory, no table, no program to start).
//
//   sdk_decode [-b BUFFER_BYTES] OUTDIR STREAM...
//
// Each STREAM (an LZMA-Alone file NAME.lzma) is decoded into OUTDIR/NAME.
// -b sets the output file's stdio buffer; 0 keeps libc's default, which
// costs one write(2) per chunk.
//
// It calls the launcher's loop rather than a copy: the comparison is for
// the cost of what the launcher does around the decoder, and a copy drifts
// from the loop it stands for (one left the last whole chunk out of end
// mode, skipping the end-of-stream check that the launcher pays for). That
// loop makes only the SDK calls the decoder needs, so nothing is hidden.
#define _FILE_OFFSET_BITS 64

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "payload.h"

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
    const char *reason = NULL;
    uint32_t used = 0;
    int result = -1;
    if (length > UINT32_MAX)
        fprintf(stderr, "%s: over 4 GiB, more than a launcher can hold\n", path);
    else if (decode_entry((const unsigned char *)map, (uint32_t)length, out, &reason, &used))
        fprintf(stderr, "%s: %s\n", path, reason ? reason : strerror(errno));
    else
        result = 0;
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
    char *buffer = buffer_size ? (char *)malloc(buffer_size) : NULL;
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
