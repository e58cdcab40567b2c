// A file's bytes, mapped rather than read: a reader touches only the pages
// it looks at, and a file of gigabytes costs no memory until then.
#ifndef SFXPACK_MAPPED_FILE_H
#define SFXPACK_MAPPED_FILE_H

#include <stddef.h>

#include <string>

// A file mapped read-only for as long as it lives.
struct MappedFile {
    const unsigned char *data = nullptr;
    size_t size = 0;
    MappedFile() = default;
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;
    ~MappedFile();
    // Returns 0, or -1 with "PATH: reason" in error.
    int open(const std::string &path, std::string &error);
};

#endif
