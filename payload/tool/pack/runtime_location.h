// Where the packer finds the launcher runtimes it links against.
#ifndef SFXPACK_RUNTIME_LOCATION_H
#define SFXPACK_RUNTIME_LOCATION_H

#include <string>
#include <vector>

#include "format/target_table.h"

// The target's runtime archive, found relative to the packer's own location
// (BIN/../lib/sfxlaunch/TARGET/libsfxlaunch.a, or TARGET/static/ for the
// runtime linked statically against the C library), so a moved tree still
// works. Returns an empty string with a reason in error when it is missing.
std::string runtime_archive(const TargetInfo &target, bool static_runtime, std::string &error);

// Extra link flags that a runtime archive needs, read from the file beside it
// (libsfxlaunch.ldflags, whitespace-separated). A sanitizer build of the
// runtime writes one there so that its launchers get the sanitizers'
// run-time libraries; a plain build has none. Returns 0, or -1 with a reason.
int runtime_link_flags(const std::string &archive, std::vector<std::string> &flags,
                       std::string &error);

#endif
