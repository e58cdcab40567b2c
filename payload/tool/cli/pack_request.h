// What the packer is asked to do: the record the command line fills and
// every subsystem reads.
#ifndef SFXPACK_PACK_REQUEST_H
#define SFXPACK_PACK_REQUEST_H

#include <string>
#include <vector>

#include "format/target_table.h"

struct InputFile {
    std::string path;
    std::string name;  // the entry's name in the launcher
    bool stored = false;  // embed the file's bytes as the stored stream
};

// --add SRC[=DEST]: a file or a directory tree put at DEST, a relative path
// in the payload, which then is a tree.
struct TreeAdd {
    std::string source;
    std::string dest;
};

struct PackOptions {
    const TargetInfo *target = &target_table[0];
    bool target_given = false;
    bool force = false;
    bool help = false;
    bool version = false;
    bool strip = false;     // pack copies without debug information
    bool static_runtime = false;  // link the runtime and the C library statically
    std::string output;
    std::vector<InputFile> files;
    bool bundle = false;    // files[0] is a program whose libraries are collected
    std::vector<std::string> excludes;  // --exclude: names left to the system
    std::vector<std::string> includes;  // --include: files added after the libraries
    std::vector<TreeAdd> adds;          // --add, in the order given
    std::vector<std::string> exclude_paths;  // --exclude-path: globs on entry paths
    // --env: "NAME=VALUE", one per NAME, where that NAME was first given,
    // with the value it was given last.
    std::vector<std::string> environment;
    bool libc = false;      // --libc: the C library and its loader are bundled too
    bool unpack_once = false;  // --unpack-once: runs unpack once into the user's cache
    bool forget = false;    // --forget: empty files[0]'s cache directories
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
    // --sign: the private key that signs the launcher, while packing or,
    // without -o, files[0] in place.
    std::string sign_key;
    bool sign_in_place = false;
    std::string embed_signature;    // --embed-signature: a signature to put into files[0]
    std::vector<std::string> keys;  // --key: whose signature --verify accepts
};

#endif
