// What sfxpack packs: the files as given, or, with --bundle, the program,
// the shared libraries it needs as the dynamic loader would resolve them
// now, and the files added with --include, in pack order; and what it leaves
// to the system.
#ifndef SFXPACK_BUNDLE_PLAN_H
#define SFXPACK_BUNDLE_PLAN_H

#include <stdio.h>

#include <string>
#include <vector>

#include "cli/pack_request.h"
#include "input/input_record.h"

// Bundled objects find each other through DT_RPATH, which the loader
// searches before LD_LIBRARY_PATH (DT_RUNPATH comes after it): what the
// caller's environment offers never replaces what was packed.
enum OriginEdit {
    ORIGIN_NONE,       // not an ELF object of the target: packed as it is
    ORIGIN_KEPT,       // its DT_RPATH already begins with $ORIGIN (and it has no DT_RUNPATH)
    ORIGIN_SET,        // packed as a copy whose DT_RPATH is $ORIGIN
    ORIGIN_CONVERTED,  // its DT_RUNPATH begins with $ORIGIN: the copy has it as DT_RPATH
    ORIGIN_TRIMMED,    // its DT_RPATH begins with $ORIGIN but leaves the work directory
    // --libc: the program's copy keeps room in PT_INTERP and DT_RPATH for the
    // packed loader's path and the work directory, which the launcher writes
    // in at run time (launcher/loader_paths.cc).
    ORIGIN_LOADER,
};

struct PlanEntry {
    std::string name;   // the entry's name: what the loader asks for
    std::string path;   // the file found
    std::string why;    // "the program", "needed by a, b", "--include"
    std::string found;  // how the loader finds it, for libraries
    OriginEdit origin = ORIGIN_NONE;
    bool c_library = false;  // --libc: one of the C library's objects, packed as it is
    bool program_loader = false;  // --libc: the loader the program's PT_INTERP named
    std::string rpath;  // the copy's DT_RPATH, for ORIGIN_SET, _CONVERTED and _TRIMMED
    // The directories of a kept search path that are not inside the work
    // directory, left out of the copy; for an ORIGIN_LOADER object of a
    // tree, those the work directory's path takes the place of.
    std::vector<std::string> dropped;
    // An ELF object of a tree: the libraries it needs, for the plan.
    std::vector<std::string> needs;
    // Needed names the copy asks for by the name its library is packed
    // under (old, new): the same file, reached by two names.
    std::vector<std::pair<std::string, std::string>> renamed_needs;
    bool stored = false;  // a --stored file
    // What was read of the file that is packed: path, or once one is made,
    // its copy. Unread (input.path empty) until read_plan_inputs.
    InputRecord input;
    // In a tree payload (plan.tree), what the launcher makes of the entry
    // (payload.h, TreeEntry): kind, mode, the earlier entry a hard link
    // names, a symbolic link's text. Only a TREE_FILE is read and packed.
    uint32_t kind = 0;
    uint32_t mode = 0;
    uint32_t link = 0;
    std::string target;
};

struct SystemLibrary {
    std::string name;
    std::string needed_by;  // "a, b"
    std::string why;        // "part of the C library", "--exclude PATTERN"
};

struct BundlePlan {
    const TargetInfo *target = nullptr;
    std::vector<PlanEntry> entries;  // the program first
    std::vector<SystemLibrary> left_to_system;
    std::vector<std::string> notes;  // what was left out that might have come, and why
    bool tree = false;  // the payload is a tree (bundle/tree_plan.h)
};

// The plan of a plain pack: the files as given, not read yet.
void plan_files(const PackOptions &options, BundlePlan &plan);

// Reads every entry that planning has not read (a plain pack's files), once
// the request is known to be sound. What cannot be read stays in the
// entry's record, for the pack to report where it needs the file.
void read_plan_inputs(BundlePlan &plan);

// Reads path, the file that entry e of plan now packs, as what it is to the
// pack: a --stored stream, a program's copy prepared for --libc, or a plain
// file. Returns 0, or -1 with record.error set.
int read_plan_input(const BundlePlan &plan, const PlanEntry &e, const std::string &path,
                    InputRecord &record);

// The room, LOADER_PATH_ROOM bytes with the NUL, that ORIGIN_LOADER keeps
// in PT_INTERP and in DT_RPATH.
std::string loader_path_placeholder();

// Reads the program at path into program and gives its target. Returns 0,
// or -1 with a one-line reason when it is not a dynamically linked program
// of a known target.
int bundle_program_target(const std::string &path, InputRecord &program,
                          const TargetInfo *&target, std::string &error);

// Collects what options.files[0], read as program, needs for target. A
// tree plan (plan_tree, made of the --add trees before bundling) keeps its
// entries: its ELF objects join the closure and are edited in place, and
// the libraries and --include files are appended, for place_added_entries
// to sort in. Returns 0, or -1 with a one-line reason (a library that the
// program or an --include file needs and that cannot be found names the
// object that needs it).
int plan_bundle(const PackOptions &options, const TargetInfo &target,
                const InputRecord &program, BundlePlan &plan, std::string &error);

#endif
