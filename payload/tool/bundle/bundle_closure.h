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

enum NodeKind { NODE_PROGRAM, NODE_LIBRARY, NODE_INCLUDE };

// One object of the closure, or one included file.
struct Node {
    NodeKind kind;
    std::string name;
    std::string path;
    std::string origin;  // what $ORIGIN stands for in its search paths
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
};

// Resolves the needs of the program (node 0) and of everything found,
// breadth first as the loader maps them, then those of the included objects
// (nodes listed in included), as dlopen would with the program as their
// loader. Returns 0, or -1 with a one-line reason.
int collect_closure(Closure &c, const std::vector<int> &included, std::string &error);

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
