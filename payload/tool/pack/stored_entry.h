// A --stored FILE made into an entry: stored so that the launcher reads it
// as the stream it is, and decoded once at pack time exactly as the launcher
// would, so that a launcher that could never unpack it is not written.
#ifndef SFXPACK_STORED_ENTRY_H
#define SFXPACK_STORED_ENTRY_H

#include <stdint.h>

#include <string>
#include <vector>

#include "sys/bytes.h"
#include "sys/sha256.h"
#include "format/target_table.h"
#include "elf/version_needs.h"

// What an entry unpacks to, for the launcher's manifest.
struct Unpacked {
    uint64_t size = 0;
    unsigned char sha256[SHA256_SIZE] = {};
    std::string glibc;  // the newest GLIBC_ need, when known
};

// The launcher skips a leading zero byte, so a stream whose properties byte
// is 0 (lc, lp and pb all 0) gets one extra zero byte in front of it.
void add_leading_zero(Bytes &stream);

// The version needs of what the stored bytes unpack to (with a leading zero
// byte already added, as the launcher reads them). Returns 0, or -1 when
// they do not decode to an ELF object that can be read.
int stored_version_needs(const Bytes &stored, std::vector<VersionNeed> &needs);

// Decodes the stored bytes as a launcher of target would, noting the size,
// digest and newest glibc need of what it writes. Returns 0, or -1 with why
// the launcher could not unpack them in error (unpacked then describes what
// it would write before it stopped; nothing, when the launcher could not
// even allocate the stream's dictionary).
int check_stored_entry(const Bytes &stored, const TargetInfo &target, Unpacked &unpacked,
                       std::string &error);

#endif
