// A file's bytes, mapped rather than read: a reader touches only the pages
// it looks at, and a file of gigabytes costs no memory until then. The one
// way the packer reads an input, so that what it learns of one and what it
// packs of it are the same bytes.
#ifndef SFXPACK_MAPPED_FILE_H
#define SFXPACK_MAPPED_FILE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>

#include "sys/bytes.h"

// What tells one state of a file from another without reading it again.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    uint64_t size = 0;
    int64_t mtime_seconds = 0;
    long mtime_nanoseconds = 0;
};

// A regular file mapped read-only for as long as it lives. A FIFO or a
// device is refused rather than waited on.
struct MappedFile {
    const unsigned char *data = nullptr;
    size_t size = 0;
    std::string path;
    FileIdentity identity;  // of the file mapped
    // What running the file grants beyond the rights of whoever runs it: its
    // set-user-ID and set-group-ID bits, and file capabilities.
    mode_t mode = 0;            // st_mode
    bool capabilities = false;  // it has a security.capability attribute
    MappedFile() = default;
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;
    ~MappedFile();
    // Maps the file name. Returns 0, or -1 with "NAME: reason" in error.
    int open(const std::string &name, std::string &error);
};

// Calls read(context), which reads file's bytes. Another program may cut the
// file short under the mapping, and the kernel then stops the reader with
// SIGBUS: the read ends there instead, and -1 comes back with "PATH: changed
// since sfxpack read it; nothing written" in error. Otherwise returns 0.
// What read leaves half done is left: it must hold nothing that needs
// undoing, as memcpy, a digest or the LZMA encoder over plain buffers.
int read_mapped(const MappedFile &file, void (*read)(void *context), void *context,
                std::string &error);

// A copy of file's bytes in bytes. Returns 0, or -1 as read_mapped does.
int copy_mapped(const MappedFile &file, Bytes &bytes, std::string &error);

// A small file's bytes (a key, a signature), copied. Returns 0, or -1 with
// "PATH: reason" in error.
int read_whole_file(const std::string &path, Bytes &bytes, std::string &error);

// Maps path again for a reader that read it before as read_as. Returns 0, or
// -1 with "PATH: reason" in error, which says so when path is no longer the
// file that was read: what was learned of it would not be what is packed.
int map_unchanged(const std::string &path, const FileIdentity &read_as, MappedFile &file,
                  std::string &error);

// The same question without mapping, for a file another program has just
// read (strip). Returns 0, or -1 with "PATH: reason" in error.
int check_unchanged(const std::string &path, const FileIdentity &read_as, std::string &error);

#endif
