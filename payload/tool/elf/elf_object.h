// What the dynamic loader reads of a program or shared library: its
// architecture, whether it has an interpreter, and its dynamic entries.
#ifndef SFXPACK_ELF_OBJECT_H
#define SFXPACK_ELF_OBJECT_H

#include <stddef.h>

#include <string>
#include <vector>

#include "format/target_table.h"

struct ElfObject {
    int elf_class = 0;    // ELFCLASS32 or ELFCLASS64
    unsigned machine = 0; // EM_*
    unsigned type = 0;    // ET_EXEC, ET_DYN, ...
    bool interpreter = false;  // has PT_INTERP: started through the loader
    std::string interpreter_path;  // what PT_INTERP names, when it is a string
    bool dynamic = false;      // has PT_DYNAMIC: takes part in dynamic linking
    std::vector<std::string> needed;  // DT_NEEDED, in order
    bool has_rpath = false;
    bool has_runpath = false;
    std::string rpath;    // DT_RPATH, ignored by the loader when DT_RUNPATH exists
    std::string runpath;  // DT_RUNPATH
    std::string soname;
};

// Reads the size bytes of a file through libelf, from its program headers
// as the loader does. Returns 0, or -1 with a reason in error ("not an ELF
// file", "damaged ELF file (...)").
int read_elf_object(const unsigned char *data, size_t size, ElfObject &object,
                    std::string &error);

// The packer's target that the object is built for, or NULL.
const TargetInfo *elf_object_target(const ElfObject &object);

// The architecture in words, for messages: "x86_64", "i386", "AArch64", ...
std::string elf_machine_name(const ElfObject &object);

#endif
