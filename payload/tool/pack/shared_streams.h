// Identical files of a tree payload stored once.
#ifndef SFXPACK_SHARED_STREAMS_H
#define SFXPACK_SHARED_STREAMS_H

#include <vector>

#include "pack/link_launcher.h"

// Points every TREE_FILE entry whose stream has the same bytes as an
// earlier one's at that earlier stream, which the launcher then carries
// once (each entry still unpacks to a file of its own).
void share_identical_streams(std::vector<PackedEntry> &entries);

#endif
