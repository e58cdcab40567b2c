// The assembler source of the three payload blocks.
#ifndef SFXPACK_PAYLOAD_SOURCE_H
#define SFXPACK_PAYLOAD_SOURCE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "format/target_table.h"

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
// section that is never loaded.
std::string payload_source(const std::vector<BlockEntry> &entries,
                           const TargetInfo &target);

#endif
