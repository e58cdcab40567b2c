// The packer's command line.
#ifndef SFXPACK_PACK_OPTIONS_H
#define SFXPACK_PACK_OPTIONS_H

#include <string>
#include <vector>

#include "target_table.h"

struct InputFile {
    std::string path;
    std::string name;  // the entry's name in the launcher
    bool stored = false;  // embed the file's bytes as the stored stream
};

struct PackOptions {
    const TargetInfo *target = &target_table[0];
    bool target_given = false;
    bool force = false;
    bool help = false;
    bool version = false;
    bool strip = false;     // pack copies without debug information
    std::string output;
    std::vector<InputFile> files;
    bool bundle = false;    // files[0] is a program whose libraries are collected
    std::vector<std::string> excludes;  // --exclude: names left to the system
    std::vector<std::string> includes;  // --include: files added after the libraries
    bool verbose = false;   // print the plan, then pack
    bool dry_run = false;   // print the plan, write nothing
    std::string max_glibc;  // --max-glibc: the newest glibc an entry may need
    // Reading a launcher instead of packing one: files[0] is the launcher,
    // files[1] the directory --extract makes.
    bool inspect = false;
    bool verify = false;
    bool extract = false;
    bool json = false;      // --inspect prints JSON
    bool no_manifest_ok = false;  // --verify passes a launcher without a manifest
    int level = 9;          // -0 ... -9: the encoder's effort
    bool no_cache = false;  // --no-cache: neither reuse nor keep streams
    bool quiet = false;     // -q: no progress line
};

// Fills options from argv. Returns 0, or -1 with a one-line reason in error.
int parse_pack_options(int argc, char **argv, PackOptions &options,
                       std::string &error);

// The launcher records what it unpacks in this many slots.
enum { MAX_ENTRIES = 32 };

// Checks what the launcher would choke on. Problems that --force may waive
// are returned in warnings when it is given, and in error otherwise.
int check_pack_options(const PackOptions &options,
                       std::vector<std::string> &warnings, std::string &error);

// A file name as the entry name it would get by default.
std::string base_name(const std::string &path);

extern const char pack_usage[];

#endif
