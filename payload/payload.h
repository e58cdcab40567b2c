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
struct LoaderPaths {
    uint32_t interpreter_at;
    uint32_t interpreter_room;
    uint32_t library_dir_at;
    uint32_t library_dir_room;
    const char *loader_name;  // the loader's entry name
};

extern "C" const LoaderPaths payload_loader_paths __attribute__((weak));

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
