// The assembler source of the three payload blocks.
#ifndef SFXPACK_PAYLOAD_SOURCE_H
#define SFXPACK_PAYLOAD_SOURCE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "elf/loader_room.h"
#include "format/target_table.h"

// With --libc: the loader's entry name and where the program keeps room for
// its path, for the launcher's LoaderPaths record.
struct LoaderPathsSource {
    std::string loader_name;  // empty: no record
    LoaderRoom room;
};

struct BlockEntry {
    std::string name;
    std::string stream_file;  // included with .incbin, relative to the source
    uint32_t size;
};

// Included beside the streams: the manifest's bytes (manifest.h).
extern const char manifest_file[];

// The names block, the data block and the entry table, in that order, as
// allocated read-only sections; records laid out as the target's
// PayloadEntry and ended by an all-zero record; then the manifest, in a
// section that is never loaded; and for --libc, the LoaderPaths record.
std::string payload_source(const std::vector<BlockEntry> &entries,
                           const TargetInfo &target, const LoaderPathsSource &loader);

#endif
