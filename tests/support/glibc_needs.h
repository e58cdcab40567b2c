// The glibc symbol versions that a launcher needs, against its target's floor
// (TargetInfo::glibc_floor), for the blackbox tests and for
// glibc_floor_check, which the install tree test runs.
#ifndef SFXLAUNCH_TESTS_GLIBC_NEEDS_H
#define SFXLAUNCH_TESTS_GLIBC_NEEDS_H

#include <string>
#include <vector>

#include "elf_file.h"

// Each version need of image that the floor ("2.2.5") does not cover, one
// "file: version" a line: a GLIBC_ version above the floor, any other
// version of libc.so.6 (GLIBC_PRIVATE), any version of another file. Empty
// when the image starts on the floor's glibc as far as versions go; an image
// with no version needs at all is reported too, as no launcher can be one.
std::vector<std::string> needs_above_floor(const ElfImage &image, const std::string &floor);

#endif
