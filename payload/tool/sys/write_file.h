// Writing a whole file at once.
#ifndef SFXPACK_WRITE_FILE_H
#define SFXPACK_WRITE_FILE_H

#include <stddef.h>
#include <stdint.h>

#include <string>

// Creates or truncates path and writes size bytes of data into it. Returns
// 0, or -1 with "path: reason" in error.
int write_file(const std::string &path, const void *data, size_t size,
               std::string &error);

// Writes size bytes of data to fd, at its offset or, for write_at, at
// offset, retrying short writes and EINTR. Returns 0, or -1 with errno set
// (ENOSPC when the kernel took nothing).
int write_all(int fd, const void *data, size_t size);
int write_at(int fd, const void *data, size_t size, uint64_t offset);

#endif
