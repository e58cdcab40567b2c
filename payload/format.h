/* What the launcher and the packer agree on: where the payload lies, how
 * many entries a launcher unpacks and what they may be called, what one
 * stored stream looks like, and the statuses a launcher ends with. Plain C,
 * since the launcher runtime has no C++ library and both read these lines. */
#ifndef SFXLAUNCH_FORMAT_H
#define SFXLAUNCH_FORMAT_H

#include <stdint.h>

/* The three read-only sections the payload is linked into, in this order:
 * the entry names, the stored streams back to back, the entry table. */
#define PAYLOAD_NAMES_SECTION ".qzvdump.str"
#define PAYLOAD_STREAMS_SECTION ".qzvdump.bin"
#define PAYLOAD_TABLE_SECTION ".qzvdump.ptr"

/* The launcher records every file it writes in this many slots, so a
 * payload that is run or unpacked holds at most this many entries. */
enum { PAYLOAD_MAX_ENTRIES = 32 };

/* An entry name is one path component, joined to the work directory with a
 * single '/': not empty, not "." or "..", without '/', and no longer than a
 * file name can be. */
enum { ENTRY_NAME_MAX = 255 };

/* An LZMA-Alone header: the properties byte, the dictionary size (u32) and
 * the unpacked size (u64), both little-endian; the LZMA data follows. */
enum {
    LZMA_ALONE_DICTIONARY_AT = 1,
    LZMA_ALONE_SIZE_AT = 5,
    LZMA_ALONE_HEADER_SIZE = 13
};

/* An unpacked size with every bit set means none is stored; the launcher
 * refuses such a stream, as it needs to know when the data ends. */
#define LZMA_ALONE_SIZE_UNKNOWN UINT64_MAX

static inline uint32_t lzma_alone_dictionary(const unsigned char *header)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; i--)
        value = value << 8 | header[LZMA_ALONE_DICTIONARY_AT + i];
    return value;
}

static inline uint64_t lzma_alone_unpacked_size(const unsigned char *header)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; i--)
        value = value << 8 | header[LZMA_ALONE_SIZE_AT + i];
    return value;
}

/* The launcher skips one zero byte in front of a stored stream, so that a
 * stream whose properties byte is 0 can be stored behind one. Returns the
 * bytes skipped, 0 or 1; the stream's length is size less that. */
static inline uint32_t leading_zero_skipped(const unsigned char *stored, uint64_t size)
{
    return size != 0 && stored[0] == 0 ? 1 : 0;
}

/* A program packed with its own C library (sfxpack --libc) names its loader
 * and its library directory by absolute paths, which only the run knows: the
 * work directory. The packer reserves room for both in the program's file,
 * PT_INTERP and a DT_RPATH string each LOADER_PATH_ROOM bytes, filled with
 * LOADER_PATH_MARK and padding, and tells the launcher where they lie (the
 * record in PAYLOAD_LOADER_SECTION). The kernel takes an interpreter path of
 * at most 4096 bytes, NUL included. */
#define PAYLOAD_LOADER_SECTION ".qzvdump.ld"
#define LOADER_PATH_MARK "/sfxlaunch-writes-the-work-directory-here-at-run-time/"
enum { LOADER_PATH_ROOM = 4096 };

/* How a launcher run ends, other than with the program's own status. */
enum LauncherStatus {
    STATUS_DONE = 0,            /* @version, @list or @unpack finished */
    STATUS_OUTPUT_LOST = 1,     /* what @version or @list printed did not get out */
    STATUS_NO_PROGRAM = 122,    /* run mode found no entry to run */
    STATUS_EXTRACT_FAILED = 124, /* decoding or writing an entry failed */
    STATUS_LAUNCH_FAILED = 125, /* starting the program or waiting for it failed */
    STATUS_SETUP_FAILED = 126,  /* the work directory, an output file, its mode, or
                                   a standard descriptor on /dev/null */
    STATUS_DIED = 127           /* die: out of memory or too many files */
};

#endif
