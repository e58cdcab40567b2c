// The ELF objects that --add brings into a tree payload (helpers, plugins,
// modules): each is a root of the bundle's closure, as the program is.
#ifndef SFXPACK_TREE_OBJECTS_H
#define SFXPACK_TREE_OBJECTS_H

#include <vector>

#include "bundle/bundle_closure.h"
#include "bundle/bundle_plan.h"

// Adds to c, as NODE_TREE nodes loaded as the program would load them, the
// files of the tree plan that c's target links at run time: executables
// and shared objects that need libraries or, with --libc, a loader. Every
// file of the tree is read here, into its entry's input, for the pack. A file
// that only looks like one, an object of another machine and, with --libc,
// an executable naming another loader than the program's are packed as
// they are, each with a note in c. Call after add_program_loader. Returns
// the nodes added.
std::vector<int> add_tree_objects(Closure &c, BundlePlan &plan);

#endif
