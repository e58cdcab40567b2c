// The payload embedded in the launcher: a table of stored LZMA-Alone streams
// that the packer links into the launcher's read-only data.
#ifndef SFXLAUNCH_PAYLOAD_H
#define SFXLAUNCH_PAYLOAD_H

#include <stdint.h>
#include <stdio.h>

#include "format.h"

// The packer lays these records out by hand, so the field order, types and
// padding of this struct are the on-disk format for each target.
struct PayloadEntry {
    const unsigned char *data;
    const char *name;
    uint32_t size;
};

// Ends at the first record whose name is null.
extern "C" const PayloadEntry payload_entries[];

// Where the first entry's file holds room for its loader's path and for its
// library directory: offsets into the file and the bytes reserved, NUL
// included. Linked in only for a program packed with its own C library;
// elsewhere the weak reference is null.
struct LoaderRoomRecord {
    uint32_t entry;  // the index of a TREE_FILE entry
    uint32_t interpreter_at;
    uint32_t interpreter_room;
    uint32_t library_dir_at;
    uint32_t library_dir_room;
};

struct LoaderPaths {
    uint32_t interpreter_at;
    uint32_t interpreter_room;
    uint32_t library_dir_at;
    uint32_t library_dir_room;
    const char *loader_name;  // the loader's entry name
    // A tree's other programs start through the packed loader too, however
    // the program starts them (by path, through PATH, through a link): each
    // keeps room of its own, filled once for its file when it is unpacked.
    // Ascending by entry, none of them entry 0.
    uint32_t other_count;
    const LoaderRoomRecord *others;
};

extern "C" const LoaderPaths payload_loader_paths __attribute__((weak));

// A tree payload (sfxpack --add, or a bundle of more than
// PAYLOAD_MAX_ENTRIES files) says what each entry of payload_entries is,
// index for index: its entry names are relative paths (entry_name.h), and
// the launcher makes the directories on an entry's path before the entry.
// A launcher without this record is a flat payload: every entry a file of
// one component, at most PAYLOAD_MAX_ENTRIES of them. Linked in only for a
// tree; elsewhere the weak reference is null.
enum TreeEntryKind {
    TREE_FILE = 0,       // decoded from its stream; mode 0700 or 0600
    TREE_DIRECTORY = 1,  // an empty directory, mode 0700; size 0, no stream
    TREE_SYMLINK = 2,    // a symbolic link to target; size 0, no stream
    TREE_HARD_LINK = 3   // a second name of entry link's file; size 0, no stream
};

struct TreeEntry {
    uint32_t kind;       // TreeEntryKind
    uint32_t mode;       // TREE_FILE: 0700 when the packed file was executable by
                         // its owner, else 0600; TREE_DIRECTORY: 0700; else 0
    uint32_t link;       // TREE_HARD_LINK: the index of an earlier TREE_FILE entry
    const char *target;  // TREE_SYMLINK: the link's text; null otherwise
};

struct PayloadTree {
    uint32_t count;             // the number of records, that of payload_entries
    const TreeEntry *entries;
};

extern "C" const PayloadTree payload_tree __attribute__((weak));

// sfxpack --env NAME=VALUE: variables the launcher sets in the program's
// environment only, each "NAME=VALUE" as given, NUL-ended, back to back; in
// VALUE, $ORIGIN and ${ORIGIN} stand for the work directory's absolute path,
// ${NAME} for the caller's NAME (empty when unset) and $$ for '$'. The last
// record of a name wins. Linked in only when --env was given.
struct PayloadEnvironment {
    uint32_t count;
    const char *records;
};

extern "C" const PayloadEnvironment payload_environment __attribute__((weak));

// sfxpack --unpack-once: the id of the payload's cache directory (format.h,
// PAYLOAD_CACHE_SECTION), a digest of what the payload unpacks to, the
// tables, the --env records and the runtime's version. Linked in only with
// --unpack-once; elsewhere the weak reference is null.
struct PayloadCache {
    unsigned char id[CACHE_ID_SIZE];
};

extern "C" const PayloadCache payload_cache __attribute__((weak));

// The stored stream of an entry once a leading zero byte has been skipped.
void entry_stream(const PayloadEntry *entry, const unsigned char **stream,
                  uint32_t *length);

// Decodes one stored stream into out. Returns 0, or -1 with a constant text
// in reason; a null reason means that writing to out failed and errno says
// why. On success used holds the bytes of stream that the decoder read,
// header included: the packer checks streams with it, so both agree on what
// unpacks and on bytes that no run would read.
int decode_entry(const unsigned char *stream, uint32_t length, FILE *out,
                 const char **reason, uint32_t *used);

// decode_entry, with a failure reported in one message prefixed by name.
int extract_entry(const unsigned char *stream, uint32_t length, FILE *out,
                  const char *name);

#endif
