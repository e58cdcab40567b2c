// One entry of a read launcher decoded by the launcher's own decoder into a
// sink that digests and counts the bytes as they pass, and optionally writes
// them to a file or keeps the first of them: no temporary file is needed to
// check an entry, and a file written from it is checked as it is written.
#ifndef SFXPACK_ENTRY_DECODE_H
#define SFXPACK_ENTRY_DECODE_H

#include <stdint.h>

#include <string>

#include "launcher_reader.h"
#include "sha256.h"

struct DecodedEntry {
    uint64_t size = 0;                  // bytes the stream gave
    unsigned char sha256[SHA256_SIZE];  // of those bytes, when the decode succeeded
    bool write_failed = false;          // the fault is the target file's, not the entry's
};

struct DecodeTarget {
    int fd = -1;               // also written here, when not -1
    std::string *kept = nullptr;  // the first keep_limit bytes are kept here
    uint64_t keep_limit = 0;
    bool stop_when_kept = false;  // decode no further than keep_limit
};

// Decodes the entry to its declared size with the launcher's end-of-stream
// rule. Returns 0, or -1 with the launcher's text for the fault (or the
// system's for a failed write) in error. A decode stopped by stop_when_kept
// returns 0 with what was kept.
int decode_launcher_entry(const LauncherEntry &entry, const DecodeTarget &target,
                          DecodedEntry &decoded, std::string &error);

#endif
