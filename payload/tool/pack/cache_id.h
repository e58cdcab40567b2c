// sfxpack --unpack-once: the id that names a launcher's cache directory.
#ifndef SFXPACK_CACHE_ID_H
#define SFXPACK_CACHE_ID_H

#include <string>

#include "format/manifest.h"
#include "format/target_table.h"
#include "pack/payload_source.h"

// The SHA-256 of everything that decides what a run unpacks and how it
// starts it: each entry's name, unpacked and stored digests, size, kind,
// mode, link and target; whether the payload is a tree; the --env records;
// the --libc record; the target; and the launcher runtime's version. The
// code digest stays out: the id is linked into the code.
void unpack_once_id(const Manifest &manifest, const TargetInfo &target,
                    const LoaderPathsSource &loader, unsigned char id[SHA256_SIZE]);

// The assembler text of the PayloadCache record holding id.
std::string cache_id_source(const unsigned char id[SHA256_SIZE]);

#endif
