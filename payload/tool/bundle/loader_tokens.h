// What the dynamic loader of a target puts for $PLATFORM and $LIB on the
// packing machine.
#ifndef SFXPACK_LOADER_TOKENS_H
#define SFXPACK_LOADER_TOKENS_H

#include <string>

#include "format/target_table.h"

// The value of token ("PLATFORM" or "LIB") for target, or an empty string
// for any other token. The target's loader is asked once per run, the first
// time a token is needed; when it cannot answer, the table's usual value is
// taken, with a warning.
std::string loader_token(const TargetInfo &target, const std::string &token);

#endif
