// What the packer learns of one input file, in one reading of it: planning,
// the reports, --strip and the manifest all take their facts from here, and
// only the compressor maps the bytes again (through sys/mapped_file.h, which
// makes sure they are still the bytes read here).
#ifndef SFXPACK_INPUT_RECORD_H
#define SFXPACK_INPUT_RECORD_H

#include <stdint.h>

#include <string>
#include <vector>

#include "elf/elf_object.h"
#include "elf/loader_room.h"
#include "elf/version_needs.h"
#include "format/target_table.h"
#include "pack/stored_entry.h"
#include "sys/mapped_file.h"

struct InputRecord {
    std::string path;   // the file read; empty until one is
    std::string error;  // "PATH: reason" when it could not be read: nothing
                        // below is known then
    FileIdentity identity;  // as read: its size is the entry's, unless stored
    // What running it grants, which no packed copy keeps: its mode's
    // set-user-ID and set-group-ID bits, and file capabilities.
    mode_t mode = 0;
    bool capabilities = false;

    // An ELF object's facts; a file that is not one has none.
    std::string elf_error;  // why elf is not known ("not an ELF file", ...)
    bool elf_magic = false;  // it begins as an ELF file does, whatever follows
    ElfObject elf;
    // What decides where it runs (keep_deciding_needs), when its version
    // needs could be read.
    std::vector<VersionNeed> needs;
    std::string glibc_release;  // the newest GLIBC_ version it defines: a C library's
    std::string abi_kernel;     // the oldest Linux its ABI note names, or empty
    uint64_t debug_bytes = 0;   // in its .debug_* and .zdebug_* sections

    // A program's copy prepared for --libc: where it keeps room for the
    // paths the launcher writes in, or why it does not.
    LoaderRoom loader_room;
    std::string loader_room_error;

    // A --stored file: an LZMA-Alone stream, decoded as a launcher of the
    // target would decode it; its needs above are those of what it unpacks to.
    bool stored = false;
    uint64_t announced_size = 0;  // what its header says it unpacks to, or 0
    Unpacked unpacked;            // what it unpacks to, for the manifest
    std::string stored_error;     // why a launcher could not unpack it
};

// Reads path once into record. Returns 0, or -1 with record.error set (what
// cannot be read is reported by the pack where it needs the file).
int read_input_record(const std::string &path, InputRecord &record);

// The same of a program's copy prepared for --libc, with its loader room.
int read_loader_program_record(const std::string &path, InputRecord &record);

// The same of a --stored file, for a launcher of target.
int read_stored_record(const std::string &path, const TargetInfo &target, InputRecord &record);

#endif
