// The oldest kernel a C library's start-up code runs on, as its ABI note
// says (NT_GNU_ABI_TAG, the note `file` shows as "for GNU/Linux 3.2.0").
#ifndef SFXPACK_ABI_TAG_H
#define SFXPACK_ABI_TAG_H

#include <string>

// The Linux release that path's ABI note names, "3.2" (a third number only
// when it is not 0), read from its note sections: path may be an executable
// or an object such as crt1.o. Returns 0, or -1 with "PATH: reason" when it
// cannot be read or holds no such note for Linux.
int gnu_abi_kernel(const std::string &path, std::string &release, std::string &error);

#endif
