// Opening a launcher for --inspect, --verify and --extract alike.
#ifndef SFXPACK_OPEN_LAUNCHER_H
#define SFXPACK_OPEN_LAUNCHER_H

#include <string>

#include "read/launcher_reader.h"
#include "sys/mapped_file.h"

// The launcher at path read into image. Returns 0, or -1 after one line on
// standard error naming path.
int open_launcher(const std::string &path, MappedFile &file, LauncherImage &image);

#endif
