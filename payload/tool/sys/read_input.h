#ifndef SFXPACK_READ_INPUT_H
#define SFXPACK_READ_INPUT_H

#include <string>

#include "sys/bytes.h"

// Opens a regular file for reading, without ever waiting: a FIFO or a
// device named as an input is refused rather than blocking the packer until
// something writes to it. Returns the descriptor, or -1 with "PATH: reason"
// in error.
int open_input(const std::string &path, std::string &error);

// Reads a whole regular file. Returns 0, or -1 with "PATH: reason" in error.
int read_input(const std::string &path, Bytes &data, std::string &error);

#endif
