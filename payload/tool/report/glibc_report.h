// The oldest C library (and, when it is left to the system, the oldest
// libstdc++) that a launcher's entries run on. A program built here asks for
// this machine's glibc, whatever the launcher runtime itself needs, so its
// own needs decide where the launcher runs.
#ifndef SFXPACK_GLIBC_REPORT_H
#define SFXPACK_GLIBC_REPORT_H

#include <stdio.h>

#include <string>
#include <vector>

#include "bundle/bundle_plan.h"
#include "elf/c_library_facts.h"
#include "cli/pack_request.h"

// One entry's newest need of a family of versions.
struct EntryNeed {
    std::string entry;    // the entry's name
    std::string version;  // "GLIBC_2.34"
    std::string what;     // "__libc_start_main@GLIBC_2.34"
};

struct GlibcNeeds {
    std::string floor;    // the launcher runtime's own, "2.2.5"
    bool static_runtime = false;  // the launcher needs no C library itself
    std::string kernel;   // then the oldest Linux it starts on, "3.2"
    bool any = false;     // an entry needs a numbered GLIBC_ version
    EntryNeed newest;     // the newest such need over all entries
    std::vector<EntryNeed> libstdcxx;  // newest GLIBCXX_ and CXXABI_ needs,
                                       // when libstdc++ is left to the system
    bool libc = false;        // --libc: the C library travels with the program
    CLibraryFacts bundled;    // what its libc.so.6 says of itself
};

// Gathers the version needs of every ELF entry of the plan, as read, a
// --stored one as what it unpacks to (files that are not ELF objects need
// nothing). With --max-glibc, returns -1 with a one-line reason naming each
// entry (and one symbol) that needs a newer glibc; otherwise 0. With --libc,
// the glibc packed decides, and any --max-glibc is met.
int collect_glibc_needs(const PackOptions &options, const BundlePlan &plan, GlibcNeeds &needs,
                        std::string &error);

// "runs on glibc X or newer: ...", and a libstdc++ line when one applies.
// With the static runtime, where the launcher starts; the glibc line stays
// for entries that need one. Returns 0, or -1 when out cannot be written.
int print_glibc_needs(FILE *out, const GlibcNeeds &needs);

// Whether text is a glibc release as --max-glibc takes it: "2.17", "2.2.5".
bool glibc_release(const std::string &text);

#endif
