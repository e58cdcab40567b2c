// The oldest kernel a C library's start-up code runs on, as its ABI note
// says (NT_GNU_ABI_TAG, the note `file` shows as "for GNU/Linux 3.2.0").
#ifndef SFXPACK_ABI_TAG_H
#define SFXPACK_ABI_TAG_H

#include <stddef.h>

#include <string>

// The Linux release that the ABI note of the size bytes at data names, "3.2"
// (a third number only when it is not 0), read from their note sections:
// an executable, a library or an object such as crt1.o. Returns 0, or -1
// with a reason when they hold no such note for Linux.
int gnu_abi_kernel(const unsigned char *data, size_t size, std::string &release,
                   std::string &error);

// The same of the file at path, which is not a packer's input (the start
// file crt1.o). Returns 0, or -1 with "PATH: reason".
int gnu_abi_kernel(const std::string &path, std::string &release, std::string &error);

#endif
