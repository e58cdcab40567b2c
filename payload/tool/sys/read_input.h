#ifndef SFXPACK_READ_INPUT_H
#define SFXPACK_READ_INPUT_H

#include <string>

#include "sys/bytes.h"

// Reads a whole regular file. Returns 0, or -1 with "PATH: reason" in error.
int read_input(const std::string &path, Bytes &data, std::string &error);

#endif
