// A tree payload's plan: the files as given or bundled, at the top, and what
// each --add brings, as relative paths with directories, modes and links.
#ifndef SFXPACK_TREE_PLAN_H
#define SFXPACK_TREE_PLAN_H

#include <string>

#include "bundle/bundle_plan.h"
#include "cli/pack_request.h"

// Whether the plan must be a tree: --add was given, or a bundle needs more
// entries than a flat payload holds.
bool plan_needs_tree(const PackOptions &options, const BundlePlan &plan);

// Makes plan a tree: walks every --add (lstat; directories sorted, an empty
// one an entry of its own; a symbolic link kept when what it points to is
// packed and it resolves there through the tree's entries, packed as what
// it points to when that is outside what is packed, refused otherwise;
// input hard links one file and hard-link entries), leaves out what
// --exclude-path matches, and orders the entries: the program first, then
// by path, bytewise. Returns 0, or -1 with a one-line reason in error;
// refused is true when the entries would not unpack (a usage error), false
// when a file could not be read or cannot be packed.
int plan_tree(const PackOptions &options, BundlePlan &plan, std::string &error, bool &refused);

// Gives the files that bundling appended to a tree plan, from first_added
// on (the libraries and --include files, at the top), their mode and their
// place among the others, and checks the paths again. Returns 0, or -1 with
// a one-line reason in error (refused: the entries would not unpack).
int place_added_entries(BundlePlan &plan, size_t first_added, std::string &error,
                        bool &refused);

#endif
