// Writing a whole file at once.
#ifndef SFXPACK_WRITE_FILE_H
#define SFXPACK_WRITE_FILE_H

#include <stddef.h>

#include <string>

// Creates or truncates path and writes size bytes of data into it. Returns
// 0, or -1 with "path: reason" in error.
int write_file(const std::string &path, const void *data, size_t size,
               std::string &error);

#endif
