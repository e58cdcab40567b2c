// Copies of bundled objects that find their libraries beside themselves.
#ifndef SFXPACK_ORIGIN_COPY_H
#define SFXPACK_ORIGIN_COPY_H

#include <string>
#include <vector>

#include "bundle/bundle_plan.h"
#include "sys/temp_dir.h"

// Gives every plan entry marked ORIGIN_SET, _CONVERTED or _TRIMMED a copy
// inside dir whose only search path is the DT_RPATH the plan says, and every
// entry with renamed needs a copy that asks for the new names, made with
// patchelf (SFXPACK_PATCHELF, or patchelf from PATH), and sets files[i].path
// to it and the entry's input to what is read of it: a new input. The files
// found are only read, and only if they are still what planning read.
// Returns 0, or -1 with a one-line reason.
int make_origin_copies(BundlePlan &plan, TempDir &dir, std::vector<InputFile> &files,
                       std::string &error);

#endif
