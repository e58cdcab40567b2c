// The manifest that every launcher carries in a section that is never
// loaded: what each entry unpacks to, and which sfxpack made it. Tools read
// it from the file to check a launcher without running it.
#ifndef SFXPACK_MANIFEST_H
#define SFXPACK_MANIFEST_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "format.h"
#include "sys/sha256.h"

struct ManifestEntry {
    std::string name;
    uint64_t size = 0;
    unsigned char sha256[SHA256_SIZE];
    // Of the stored bytes as the table holds them: a flip in a stream's
    // dictionary field or in its last coded bytes can leave every unpacked
    // byte as it was, so the unpacked digest alone cannot prove a stream intact.
    unsigned char stored_sha256[SHA256_SIZE];
    // The newest GLIBC_ version an ELF entry needs ("GLIBC_2.34"), empty
    // when it needs none or is not ELF: where it lies in an entry is known
    // only once the whole entry is decoded, so --inspect reads it here.
    std::string glibc;
    // From format 4 on, what the launcher makes of the entry (payload.h,
    // TreeEntry): kind, mode, the earlier entry a hard link names, a
    // symbolic link's text. A flat payload's entries are all TREE_FILE,
    // with mode 0 (the launcher decides as it always has).
    uint32_t kind = 0;
    uint32_t mode = 0;
    uint32_t link = 0;
    std::string target;
};

// The format this sfxpack writes is MANIFEST_FORMAT, 4; formats 1 to 3,
// of older versions, are still read.
struct Manifest {
    int format = MANIFEST_FORMAT;
    std::string version;
    // From format 2 on: the SHA-256 of the launcher's code, so that a flip
    // outside the payload is seen too: the file bytes of every PT_LOAD
    // segment (p_offset for p_filesz bytes, in program header order) less
    // those of the payload sections and the manifest, skipped
    // (launcher_code_digest). Format 3 skips the ELF header's section-header
    // fields too, which strip rewrites: a stripped launcher still verifies.
    unsigned char code_sha256[SHA256_SIZE] = {};
    std::vector<ManifestEntry> entries;
    // From format 4 on: whether the launcher carries a tree record; the
    // --env records, "NAME=VALUE" as given, in the launcher's order; and
    // for sfxpack --unpack-once, the id of the payload's cache directory
    // (all zero without it).
    bool tree = false;
    std::vector<std::string> environment;
    unsigned char unpack_once_id[SHA256_SIZE] = {};
};

extern const char manifest_section_name[];  // ".sfxpack.manifest"

// Little-endian throughout, no padding: the magic "SFXMAN4\0"; u32 length
// and the version text; the 32-byte SHA-256 of the launcher's code; u8 tree
// (0 or 1); the 32-byte unpack-once id; u32 --env record count and per
// record u32 length and the text; u32 entry count; per entry in table order,
// u32 length and the name, u64 unpacked size, the 32-byte SHA-256 of the
// unpacked bytes, the 32-byte SHA-256 of the stored bytes, u32 length and
// the newest GLIBC_ version need, u32 kind, u32 mode, u32 link, u32 length
// and the target; last, the 32-byte SHA-256 of every byte before it, so
// that no bit of the manifest's own text goes unchecked. Format 3
// ("SFXMAN3\0") lacks the tree flag, the id, the --env records and the
// entries' last four fields; format 2 is laid out as format 3; format 1
// ("SFXMAN1\0") has neither digest. Always writes format 4, whatever
// manifest.format says.
std::string encode_manifest(const Manifest &manifest);

// Parses a section's bytes, of any of the four formats, which may be
// hostile: every length is checked against what is left, nothing past size
// is read, and a manifest of format 2 or later must match its own digest.
// Returns 0, or -1 with a one-line reason in error.
int decode_manifest(const unsigned char *data, size_t size, Manifest &manifest,
                    std::string &error);

#endif
