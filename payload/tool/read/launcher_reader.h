// A launcher read as a file, never run: its target, its entry table and the
// stored streams the table points at, and its manifest section. The file may
// be hostile, so every offset, pointer and size is checked against the file
// and the sections before anything is read through it.
#ifndef SFXPACK_LAUNCHER_READER_H
#define SFXPACK_LAUNCHER_READER_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "sys/sha256.h"
#include "format/target_table.h"

struct LauncherEntry {
    std::string name;             // the bytes before the NUL
    uint32_t stored_size = 0;     // as the table says, a leading zero byte included
    const unsigned char *stored = nullptr;  // inside the file; null when unusable
    bool unpacked_known = false;  // the stream's header says how much it unpacks to
    uint64_t unpacked_size = 0;
    std::string problem;          // what breaks the table's rules here, or empty
};

// The record by which a launcher of a program packed with its own C library
// (--libc) knows where the program's file keeps room for its loader's path
// and its library directory (payload.h, LoaderPaths): offsets into the
// program's unpacked bytes and the bytes reserved, NUL included.
struct LoaderRoomEntry {
    uint32_t entry = 0;
    uint32_t interpreter_at = 0, interpreter_room = 0;
    uint32_t library_dir_at = 0, library_dir_room = 0;
};

struct LoaderRecord {
    bool present = false;
    uint32_t interpreter_at = 0, interpreter_room = 0;
    uint32_t library_dir_at = 0, library_dir_room = 0;
    std::string loader_name;  // the entry that is the program's loader
    // A tree's other executables with room of their own (payload.h,
    // LoaderRoomRecord), as the record lists them.
    std::vector<LoaderRoomEntry> others;
};

// What a tree payload's record (payload.h, TreeEntry) says of one entry.
struct TreeRecord {
    uint32_t kind = 0;  // TreeEntryKind; any value the file holds
    uint32_t mode = 0;
    uint32_t link = 0;
    std::string target;  // TREE_SYMLINK: the link's text
    bool has_target = false;  // the pointer was not null and could be read
};

struct LauncherImage {
    const TargetInfo *target = nullptr;
    std::vector<LauncherEntry> entries;
    std::vector<std::string> table_problems;  // not tied to one entry
    // The manifest section's bytes, when the launcher has one.
    const unsigned char *manifest = nullptr;
    size_t manifest_size = 0;
    bool has_manifest = false;
    // Of the launcher's code, as launcher_code_digest defines it for the
    // manifest format this sfxpack writes (without the ELF header's
    // section-header fields) and for format 2 (with them); when the segments
    // cannot be read, code_digest_error says why.
    unsigned char code_sha256[SHA256_SIZE] = {};
    unsigned char code_sha256_format2[SHA256_SIZE] = {};
    std::string code_digest_error;
    // The manifest format that the runtime's note names, 0 without a note.
    unsigned manifest_mark = 0;
    // Present only in a --libc launcher; a record that cannot be read is a
    // table problem.
    LoaderRecord loader;
    // A tree payload carries its record (PAYLOAD_TREE_SECTION): then
    // tree_entries holds one record per entry, index for index, and the
    // entry names are paths. Its broken rules are entry or table problems.
    bool tree = false;
    std::vector<TreeRecord> tree_entries;
    // The --env records (PAYLOAD_ENV_SECTION), "NAME=VALUE" as stored.
    bool has_environment = false;
    // sfxpack --unpack-once: the cache id in its own section, which the code
    // digest leaves out; the manifest records it. A section of any other
    // size is a table problem.
    bool has_unpack_once_id = false;
    unsigned char unpack_once_id[SHA256_SIZE] = {};
    std::vector<std::string> environment;

    // Every rule the launcher relies on holds.
    bool sound() const;
    // The first broken rule, naming its entry, or empty.
    std::string first_problem() const;
};

// Reads the launcher in data (the whole file). Returns 0, or -1 with a
// one-line reason when the bytes are not a launcher at all (not ELF, another
// machine, no entry table, cut short). Broken rules of a readable table are
// returned in the image instead, so that a check can name them all.
int read_launcher(const unsigned char *data, size_t size, LauncherImage &image,
                  std::string &error);

// A name as it can be shown on a terminal: bytes outside printable ASCII,
// and the backslash, as \xNN.
std::string printable_name(const std::string &name);

#endif
