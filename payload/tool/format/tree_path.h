// What a tree payload's entry may be called: a relative path.
#ifndef SFXPACK_TREE_PATH_H
#define SFXPACK_TREE_PATH_H

#include <string>

// Why path cannot name an entry of a tree payload, as one line, or empty
// when it can: components joined by single '/', none empty, "." or "..",
// none longer than a file name, the whole no longer than TREE_PATH_MAX, and
// not the work directory's marker at the top.
std::string tree_path_problem(const std::string &path);

// path without its last component: "a/b" of "a/b/c", "" of "c".
std::string tree_parent(const std::string &path);

#endif
