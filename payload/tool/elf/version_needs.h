// The symbol versions a program or library asks of the libraries it links
// against: what decides the oldest C library a packed program still runs on.
#ifndef SFXPACK_VERSION_NEEDS_H
#define SFXPACK_VERSION_NEEDS_H

#include <stddef.h>

#include <string>
#include <vector>

struct VersionNeed {
    std::string library;  // "libc.so.6"
    std::string version;  // "GLIBC_2.34"
    std::string symbol;   // one dynamic symbol bound to that version, or "" when none is
};

// Every version that an ELF image held in memory needs (.gnu.version_r), each with one
// symbol that asks for it (.gnu.version + .dynsym). Returns 0 (an empty list for an object
// that needs none, e.g. a static program), or -1 with a one-line reason when the bytes are
// not an ELF object that libelf can read.
int read_version_needs(const unsigned char *data, size_t size,
                       std::vector<VersionNeed> &needs, std::string &error);

// Keeps of needs what decides where the object runs, whatever family of
// versions is asked about: the newest need of each family (the version's
// name up to its first '_': "GLIBC_", "GLIBCXX_", "CXXABI_"), as
// newest_need picks it, and each version without a number (GLIBC_PRIVATE,
// GLIBC_ABI_DT_RELR) once. newest_need answers the same of what is kept.
void keep_deciding_needs(std::vector<VersionNeed> &needs);

// The newest of needs whose version begins with prefix ("GLIBC_", "GLIBCXX_", "CXXABI_"),
// comparing the dotted numbers numerically (2.10 > 2.9); false when there is none.
bool newest_need(const std::vector<VersionNeed> &needs, const std::string &prefix,
                 VersionNeed &newest);

#endif
