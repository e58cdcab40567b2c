// A read launcher's manifest, and how its entries and code measure up to it:
// what --inspect, --verify and the reader's fuzz target share.
#ifndef SFXPACK_MANIFEST_CHECKS_H
#define SFXPACK_MANIFEST_CHECKS_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "format/manifest.h"
#include "read/launcher_reader.h"

// The manifest of a read launcher. Returns 1 when there is none, 0 when it
// was read, -1 with a reason when it is there but unreadable.
int launcher_manifest(const LauncherImage &image, Manifest &manifest, std::string &error);

// What differs between an entry as decoded and the manifest's record of
// entry index, or empty.
std::string manifest_mismatch(const Manifest &manifest, size_t index,
                              const LauncherEntry &entry, uint64_t size,
                              const unsigned char sha256[SHA256_SIZE]);

// What differs between an ELF entry's newest glibc need as read from its
// decoded bytes (empty: none, or not ELF) and the manifest's, or empty.
std::string glibc_mismatch(const Manifest &manifest, size_t index, const LauncherEntry &entry,
                           const std::string &glibc);

// What differs between what the launcher makes of entry index (its kind,
// mode, hard link and link target: a flat payload's entries are files of
// mode 0, the launcher's own choice) and the manifest's record of it, or
// empty. Manifests before format 4 have no such record and say nothing.
std::string tree_mismatch(const LauncherImage &image, const Manifest &manifest, size_t index);

// The name of a kind of entry ("file", "directory", "symbolic link", "hard
// link"), or its number.
std::string tree_kind_name(uint32_t kind);

// What a tree's entry index is, as --verify and --inspect show it: "file,
// mode 0700", "directory", "symbolic link to 'x'", "hard link to entry 3".
std::string tree_entry_text(const LauncherImage &image, size_t index);

// Complaints about the manifest as a whole (unreadable, other entries, not
// the launcher's code, lost, a tree or --env records it does not record). A missing manifest is one only when the
// runtime says it came with one, or unless missing_ok.
std::string manifest_problem(const LauncherImage &image, const Manifest &manifest,
                             int status, const std::string &error, bool missing_ok);

// What a manifest that passes leaves unchecked (none at all, or one of the
// older format), or empty.
std::string manifest_note(const LauncherImage &image, const Manifest &manifest, int status);

#endif
