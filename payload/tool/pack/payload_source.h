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
struct EntryLoaderRoom {
    uint32_t entry;
    LoaderRoom room;
};

struct LoaderPathsSource {
    std::string loader_name;  // empty: no record
    LoaderRoom room;
    // The tree's other executables that start through the packed loader,
    // ascending by entry.
    std::vector<EntryLoaderRoom> others;
};

struct BlockEntry {
    std::string name;
    uint32_t size;
    // Where its stream lies in streams_file: one file for every stream,
    // since a tree of 100,000 entries made as many files cost more than
    // its compression.
    uint64_t stream_at = 0;
    // The entry whose stream this one shares, its own index when none: a
    // shared stream is included once. An entry that is no file has none.
    size_t stream_of = 0;
    uint32_t kind = 0;  // in a tree, its TreeEntry
    uint32_t mode = 0;
    uint32_t link = 0;
    std::string target;
};

// The records beside the entry table: a tree payload's PayloadTree, and the
// --env records' PayloadEnvironment, each only when there is one.
struct PayloadRecords {
    bool tree = false;
    std::vector<std::string> environment;  // "NAME=VALUE"
};

// Included beside the source: the manifest's bytes (manifest.h), and the
// stored streams back to back.
extern const char manifest_file[];
extern const char streams_file[];

// The names block, the data block and the entry table, in that order, as
// allocated read-only sections; records laid out as the target's
// PayloadEntry and ended by an all-zero record; then the manifest, in a
// section that is never loaded; for --libc, the LoaderPaths record; and the
// tree and --env records.
std::string payload_source(const std::vector<BlockEntry> &entries,
                           const PayloadRecords &records, const TargetInfo &target,
                           const LoaderPathsSource &loader);

#endif
