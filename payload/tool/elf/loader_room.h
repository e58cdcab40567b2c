// Where a program prepared for --libc keeps room for its loader's path and
// its library directory, which the launcher fills in at run time.
#ifndef SFXPACK_LOADER_ROOM_H
#define SFXPACK_LOADER_ROOM_H

#include <stddef.h>
#include <stdint.h>

#include <string>

struct LoaderRoom {
    uint64_t interpreter_at = 0;  // file offset of PT_INTERP's bytes
    uint64_t interpreter_room = 0;
    uint64_t library_dir_at = 0;  // file offset of the DT_RPATH string
    uint64_t library_dir_room = 0;  // its length, NUL included
};

// Finds both in the size bytes of an ELF program whose PT_INTERP and DT_RPATH
// begin with LOADER_PATH_MARK. Returns 0, or -1 with a one-line reason.
int find_loader_room(const unsigned char *data, size_t size, LoaderRoom &room,
                     std::string &error);

#endif
