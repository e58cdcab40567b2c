// --strip: copies of the entries without their debug information.
#ifndef SFXPACK_STRIP_DEBUG_H
#define SFXPACK_STRIP_DEBUG_H

#include <stdint.h>

#include <string>
#include <vector>

#include "sys/temp_dir.h"
#include "cli/pack_request.h"

// Gives every file whose debug sections take debug[i] bytes, more than none
// (--stored ones aside), a copy inside dir made with `strip --strip-debug`
// (SFXPACK_STRIP, or strip from PATH), sets files[i].path to it and saved[i]
// to the bytes left out. The files themselves are only read. Returns 0, or
// -1 with a one-line reason.
int strip_debug_copies(TempDir &dir, std::vector<InputFile> &files,
                       const std::vector<uint64_t> &debug, std::vector<uint64_t> &saved,
                       std::string &error);

#endif
