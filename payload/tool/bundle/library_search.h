// Where the dynamic loader of a target looks for a shared library: search
// path lists with their tokens expanded, the loader cache and the default
// directories.
#ifndef SFXPACK_LIBRARY_SEARCH_H
#define SFXPACK_LIBRARY_SEARCH_H

#include <string>
#include <vector>

#include "input/input_record.h"

// Splits a search path list at separators and expands $ORIGIN, $LIB and
// $PLATFORM (also written ${ORIGIN} ...) as the target's loader does. An
// empty element stands for the current directory, as for the loader.
std::vector<std::string> expand_search_path(const std::string &list,
                                            const char *separators,
                                            const std::string &origin,
                                            const TargetInfo &target);

// The paths the loader cache holds for name on target, in the cache's order.
// The cache is read once, through `ldconfig -p`; when that cannot run the
// cache is taken as empty and the default directories still apply.
std::vector<std::string> loader_cache_paths(const std::string &name,
                                            const TargetInfo &target);

// True when path is a shared library that the target's loader would load;
// the loader skips anything else and goes on searching. Either way, record is
// what was read of path (the one reading of a file that is then packed).
bool loadable_library(const std::string &path, const TargetInfo &target,
                      InputRecord &record);

// The directory part of path ("." when it has none).
std::string directory_of(const std::string &path);

// The directory of the file path names once every link is resolved, which
// is what $ORIGIN stands for; directory_of(path) when it does not resolve.
std::string real_directory(const std::string &path);

#endif
