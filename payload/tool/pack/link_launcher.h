// Turns compressed streams into a launcher: assembles the payload blocks and
// links them with a target's runtime through the system's compiler driver.
#ifndef SFXPACK_LINK_LAUNCHER_H
#define SFXPACK_LINK_LAUNCHER_H

#include <string>
#include <vector>

#include "pack/lzma_alone.h"
#include "pack/payload_source.h"
#include "pack/stored_entry.h"
#include "format/target_table.h"
#include "sys/temp_dir.h"

struct PackedEntry {
    std::string name;
    // Entries of a tree with the same bytes share one stream: the same
    // pointer here is the same stream in the launcher.
    const Bytes *stream;
    Unpacked unpacked;  // for the manifest
    // In a tree payload, the entry's TreeEntry (payload.h).
    uint32_t kind = 0;
    uint32_t mode = 0;
    uint32_t link = 0;
    std::string target;
};

// sfxpack --unpack-once: whether the launcher carries its cache id, and
// what the id covers beyond the entries.
struct UnpackOnce {
    bool wanted;
    const TargetInfo *target;
    const LoaderPathsSource *loader;
};

// Whether output may take the launcher: it is absent, a regular file or a
// symbolic link, which the rename replaces itself (what it points at is
// never written). A directory, device, FIFO or socket is never replaced; a
// regular file that the caller may not write (or, for root, that no one
// may: no w bit) only with replace_protected (--force). Returns 0, or -1
// with a one-line reason.
int check_output(const std::string &output, bool replace_protected, std::string &error);

// The launcher linked into a hidden temporary file beside output, which a
// fatal signal removes, until commit puts it in output's place, checking
// output again first.
struct LinkedLauncher {
    std::string path;     // the temporary file, empty when none
    std::string output;   // as given
    int signal_slot = -1;
    int commit(bool replace_protected, std::string &error);
    ~LinkedLauncher();    // removes the temporary file if it is still there
};

// The C library's start file crt1.o for target, as the compiler driver
// finds it: what a launcher with the static runtime starts with. Returns 0,
// or -1 with a one-line reason in error.
int static_start_file(const TargetInfo &target, std::string &path, std::string &error);

// Links the launcher into linked's temporary file; output stays untouched
// until linked.commit(), so that it is written whole or not at all. With
// static_runtime, the runtime and the C library are linked in statically:
// the launcher needs no loader and no libc.so.6. Returns 0, or -1 with a
// one-line reason in error. records: whether the payload is a tree, and
// the --env records. loader, for --libc, is where the program keeps room
// for its loader's path. With unpack_once, the launcher carries its cache
// id (pack/cache_id.h), which the manifest records too.
int link_launcher(const std::vector<PackedEntry> &entries, const PayloadRecords &records,
                  const TargetInfo &target, bool static_runtime,
                  const LoaderPathsSource &loader, bool unpack_once,
                  const std::string &output, LinkedLauncher &linked, std::string &error);

#endif
