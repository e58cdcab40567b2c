// The modes that read a launcher without running it: --inspect, --verify and
// --extract. Each returns sfxpack's exit status: 0 when all went well,
// EXIT_FAILED when the file is not a sound launcher or the work could
// not be done (with one line on standard error naming what).
#ifndef SFXPACK_LAUNCHER_MODES_H
#define SFXPACK_LAUNCHER_MODES_H

#include <string>

#include "cli/exit_status.h"
#include "read/launcher_reader.h"
#include "format/manifest.h"

// The table, sizes and manifest; with decode, also every entry decoded and
// checked as --verify does, which gives the ELF entries' glibc needs.
int inspect_launcher(const std::string &path, bool json, bool decode, bool no_manifest_ok);

// Every rule, every stream and the manifest; one line per entry, a verdict.
// Without no_manifest_ok, a launcher without a manifest fails.
int verify_launcher(const std::string &path, bool no_manifest_ok);

// Every entry into dir, which must not exist, as @unpack would write them.
int extract_launcher(const std::string &path, const std::string &dir);

// The launcher at path read into image, or one line on standard error.
int open_launcher(const std::string &path, MappedFile &file, LauncherImage &image);

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

// Complaints about the manifest as a whole (unreadable, other entries, not
// the launcher's code, lost). A missing manifest is one only when the
// runtime says it came with one, or unless missing_ok.
std::string manifest_problem(const LauncherImage &image, const Manifest &manifest,
                             int status, const std::string &error, bool missing_ok);

// What a manifest that passes leaves unchecked (none at all, or one of the
// older format), or empty.
std::string manifest_note(const LauncherImage &image, const Manifest &manifest, int status);

#endif
