// The modes that read a launcher without running it: --inspect, --verify and
// --extract. Each returns sfxpack's exit status: 0 when all went well,
// EXIT_LAUNCHER_BAD when the file is not a sound launcher or the work could
// not be done (with one line on standard error naming what).
#ifndef SFXPACK_LAUNCHER_MODES_H
#define SFXPACK_LAUNCHER_MODES_H

#include <string>

#include "read/launcher_reader.h"
#include "format/manifest.h"

enum { EXIT_LAUNCHER_BAD = 1 };

// The table, sizes and manifest; with decode, also every entry decoded and
// checked as --verify does, which gives the ELF entries' glibc needs.
int inspect_launcher(const std::string &path, bool json, bool decode);

// Every rule, every stream and the manifest; one line per entry, a verdict.
int verify_launcher(const std::string &path);

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

// Complaints about the manifest as a whole (unreadable, other entries).
std::string manifest_problem(const LauncherImage &image, const Manifest &manifest,
                             int status, const std::string &error);

#endif
