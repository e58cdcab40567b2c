/* What the launcher and the packer agree on: where the payload lies, how
 * many entries a launcher unpacks and what they may be called, what one
 * stored stream looks like, what a run's work directory is called, the note
 * that names the manifest format, and the statuses a launcher ends with.
 * Plain C, since the launcher runtime has no C++ library and both read these
 * lines; the defines ahead of the C part serve the runtime's assembler
 * files too. */
#ifndef SFXLAUNCH_FORMAT_H
#define SFXLAUNCH_FORMAT_H

/* The three read-only sections the payload is linked into, in this order:
 * the entry names, the stored streams back to back, the entry table. */
#define PAYLOAD_NAMES_SECTION ".qzvdump.str"
#define PAYLOAD_STREAMS_SECTION ".qzvdump.bin"
#define PAYLOAD_TABLE_SECTION ".qzvdump.ptr"

/* Every launcher carries an ELF note (launcher/format_note.S) owned by
 * FORMAT_NOTE_NAME, of type FORMAT_NOTE_TYPE, whose one 4-byte word is the
 * manifest format its packer writes: a reader that finds the note but no
 * such manifest knows the manifest was lost or replaced, not merely absent. */
#define FORMAT_NOTE_NAME "sfxpack"
#define FORMAT_NOTE_TYPE 1
/* Format 3 is format 2 with a code digest that leaves out the ELF header's
 * section-header fields, which strip rewrites; format 4 adds the tree
 * payload's kinds, modes and links and the --env records
 * (payload/tool/format/manifest.h). */
#define MANIFEST_FORMAT 4

/* A run's work directory in its temp directory is the program's entry name,
 * WORK_DIR_PID_SEPARATOR and the launcher's pid: {name}-{pid}. When someone
 * else has that name, mkdtemp makes {name}-{pid}.XXXXXX beside it, from
 * WORK_DIR_SUFFIX. A pid has at most WORK_DIR_PID_DIGITS digits (pid_max
 * goes up to 4194304), so the whole name fits a file name when the entry
 * name leaves room for all three. */
#define WORK_DIR_PID_SEPARATOR "-"
#define WORK_DIR_SUFFIX ".XXXXXX"
#define WORK_DIR_PID_DIGITS 7

/* A run writes this empty file into its work directory once it holds the
 * directory's lock, and a later run reclaims only a directory that has it:
 * a directory of the same name that a user made holds no such file. No
 * entry may be called so. */
#define WORK_DIR_MARKER ".sfxlaunch-work-dir"

#ifndef __ASSEMBLER__

#include <stdint.h>

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

/* A little-endian field of the header, width bytes. Plain C for the
 * launcher; the packer's own code reads with payload/tool/sys/byte_order.h. */
static inline uint64_t format_read_le(const unsigned char *bytes, int width)
{
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; i--)
        value = value << 8 | bytes[i];
    return value;
}

static inline uint32_t lzma_alone_dictionary(const unsigned char *header)
{
    return (uint32_t)format_read_le(header + LZMA_ALONE_DICTIONARY_AT, 4);
}

static inline uint64_t lzma_alone_unpacked_size(const unsigned char *header)
{
    return format_read_le(header + LZMA_ALONE_SIZE_AT, 8);
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

/* A tree payload's record (payload.h, PayloadTree) and its link targets,
 * and the --env records (PayloadEnvironment): loaded, and covered by the
 * code digest as the LoaderPaths record is. */
#define PAYLOAD_TREE_SECTION ".qzvdump.tree"
#define PAYLOAD_ENV_SECTION ".qzvdump.env"
/* The longest entry path of a tree payload, without its NUL: what a path
 * relative to the work directory can hold. */
enum { TREE_PATH_MAX = 4095 };

/* sfxpack --unpack-once: the payload's cache id (payload.h, PayloadCache),
 * loaded but left out of the code digest, as the manifest records it too.
 * A run unpacks such a payload once into
 * ${XDG_CACHE_HOME:-$HOME/.cache}/CACHE_DIR_NAME/{name}-{id}, where {name}
 * is the program's entry name cut to CACHE_NAME_PREFIX_MAX bytes and {id}
 * the first CACHE_ID_HEX_DIGITS hex digits of the id; a directory being
 * unpacked, or moved aside to be removed, is that name and WORK_DIR_SUFFIX.
 * WORK_DIR_MARKER in it holds its completion record, written last. */
#define PAYLOAD_CACHE_SECTION ".qzvdump.id"
#define CACHE_DIR_NAME "sfxlaunch"
enum { CACHE_ID_SIZE = 32, CACHE_ID_HEX_DIGITS = 32, CACHE_NAME_PREFIX_MAX = 200 };

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

#endif /* __ASSEMBLER__ */

#endif
