// Where the packer finds the launcher runtimes it links against.
#ifndef SFXPACK_RUNTIME_LOCATION_H
#define SFXPACK_RUNTIME_LOCATION_H

#include <string>

extern const char *const runtime_targets[2];

// The compiler flag that selects the target's ABI.
const char *target_machine_flag(const std::string &target);

// The target's runtime archive, found relative to the packer's own location
// (BIN/../lib/sfxlaunch/TARGET/libsfxlaunch.a), so a moved tree still works.
// Returns an empty string with a reason in error when it is missing.
std::string runtime_archive(const std::string &target, std::string &error);

#endif
