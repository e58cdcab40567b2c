// Turns compressed streams into a launcher: assembles the payload blocks and
// links them with a target's runtime through the system's compiler driver.
#ifndef SFXPACK_LINK_LAUNCHER_H
#define SFXPACK_LINK_LAUNCHER_H

#include <string>
#include <vector>

#include "pack/lzma_alone.h"
#include "format/stored_entry.h"
#include "format/target_table.h"

struct PackedEntry {
    std::string name;
    const Bytes *stream;
    Unpacked unpacked;  // for the manifest
};

// Writes output whole or not at all: the launcher is linked into a hidden
// temporary file beside output and renamed over it at the end. Returns 0, or
// -1 with a one-line reason in error.
int link_launcher(const std::vector<PackedEntry> &entries,
                  const TargetInfo &target, const std::string &output,
                  std::string &error);

// Runs argv with cwd as its directory; returns its exit status, or -1 when
// it could not be started or was killed.
int run_command(const std::vector<std::string> &argv, const std::string &cwd);

// A private temporary directory, removed with everything in it by the
// destructor.
struct TempDir {
    std::string path;
    int create(std::string &error);
    ~TempDir();
};

int write_file(const std::string &path, const void *data, size_t size,
               std::string &error);

#endif
