// The sizes that -v and --dry-run report: each entry unpacked and stored,
// the launcher, and the room a run takes in the temp directory.
#ifndef SFXPACK_SIZE_REPORT_H
#define SFXPACK_SIZE_REPORT_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "bundle/bundle_plan.h"
#include "pack/link_launcher.h"
#include "cli/pack_request.h"

struct EntrySize {
    std::string name;
    uint64_t unpacked = 0;  // the bytes the launcher writes for it
    uint64_t stored = 0;    // its stored stream, once packed
    uint64_t debug = 0;     // in the debug sections of what is packed
    uint64_t stripped = 0;  // what --strip left out
};

// The block that most file systems under a temp directory allocate in.
enum : uint64_t { TEMP_BLOCK = 4096 };

// The space a run of a launcher holding these entries takes in the temp
// directory: each file in whole blocks, and the directory that holds them.
uint64_t temp_space_needed(const std::vector<EntrySize> &entries);
// What that figure counts, for a launcher of count entries: "3 files and
// their directory, in 4096-byte blocks".
std::string temp_space_basis(size_t count);

// Before packing: the plan's files as read. Returns 0, or -1 with a
// one-line reason when one could not be read or the report cannot be
// written.
int report_planned_sizes(FILE *out, const PackOptions &options, const BundlePlan &plan,
                         std::string &error);

// After packing: what each entry became, as read and stored, the launcher
// (linked in launcher_file, to become options.output), and what --strip
// saved (stripped[i] for entry i). Returns 0 or -1 as above.
int report_packed_sizes(FILE *out, const PackOptions &options, const BundlePlan &plan,
                        const std::string &launcher_file,
                        const std::vector<PackedEntry> &entries,
                        const std::vector<uint64_t> &stripped, std::string &error);

#endif
