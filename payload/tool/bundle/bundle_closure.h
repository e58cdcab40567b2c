// The objects a program needs, found as the dynamic loader of its target
// would find them at pack time.
#ifndef SFXPACK_BUNDLE_CLOSURE_H
#define SFXPACK_BUNDLE_CLOSURE_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "bundle/bundle_plan.h"
#include "input/input_record.h"

// NODE_TREE: an ELF object that --add brought into a tree payload (a
// helper, a plugin, a module), named by its path in the tree.
enum NodeKind { NODE_PROGRAM, NODE_LIBRARY, NODE_INCLUDE, NODE_TREE };

// One object of the closure, or one included file.
struct Node {
    NodeKind kind;
    std::string name;
    std::string path;
    std::string origin;  // what $ORIGIN stands for in its search paths
    size_t entry = 0;    // NODE_TREE: its entry in the tree plan
    int depth = 0;       // NODE_TREE: the directories between it and the top
    InputRecord input;   // what was read of path
    bool is_object = false;  // an ELF object of the target, whose needs count
    int loader = -1;         // the object whose needs brought it in
    bool c_library = false;  // part of the C library, packed with --libc
    bool program_loader = false;  // the loader the program's PT_INTERP names
    // --libc: why a library of the packed glibc that no object needs came
    // (add_runtime_libraries); empty for the others.
    std::string runtime_why;
    std::string found;
    std::vector<std::string> needed_by;
    std::vector<int> needs;  // nodes of the libraries it needs
    // Needed names that lead to a file already in the closure under another
    // name, with that name: the loader maps one file once, whatever it is
    // asked for by, and so must the bundle.
    std::vector<std::pair<std::string, std::string>> renamed_needs;
};


// The state of one bundling, written only by the functions of the closure.
struct Closure {
    const TargetInfo *target = nullptr;
    std::vector<std::string> library_path;  // LD_LIBRARY_PATH, expanded
    std::vector<std::string> excludes;      // --exclude patterns
    bool libc = false;                      // --libc: the C library is packed too
    bool tree = false;  // the payload is a tree anyway (--add): no limit on entries
    std::vector<Node> nodes;                // the program is node 0
    std::map<std::string, int> by_name;
    std::map<std::pair<dev_t, ino_t>, int> by_file;  // the libraries found
    std::vector<SystemLibrary> left;
    std::map<std::string, size_t> left_by_name;
    std::vector<std::string> notes;  // for the plan: what was left out, and why
    // While the tree's objects are resolved, a library that cannot be found
    // is no reason to refuse the pack: the program may never load that
    // object. Each is a note instead, with every object that needs it.
    bool missing_is_note = false;
    std::map<std::string, std::vector<std::string>> missing;
};

// Resolves the needs of the program (node 0) and of everything found,
// breadth first as the loader maps them, then those of the included objects
// (nodes listed in included), as dlopen would with the program as their
// loader, then those of the tree's objects (nodes listed in tree), the same
// way; what these alone need and is not found becomes a note. Returns 0, or
// -1 with a one-line reason.
int collect_closure(Closure &c, const std::vector<int> &included, const std::vector<int> &tree,
                    std::string &error);

// With --libc, adds the libraries of the packed glibc that a program, or
// glibc itself, loads by name at run time (dlopen, the name service switch,
// LD_PRELOAD, a debugger), from the directory the closure's libc.so.6 came
// from, with what they need. Left out, with a note, when the bundle would
// then have more entries than a launcher unpacks. Call after
// collect_closure.
void add_runtime_libraries(Closure &c);

// True when name is one of the C library's own objects, which the loader of
// the running machine must match.
bool c_library_object(const std::string &name);

// With --libc, adds the loader the program (node 0) names in PT_INTERP, so
// that the C library's need of it is that file. Returns 0, or -1 with a
// one-line reason.
int add_program_loader(Closure &c, std::string &error);

#endif
