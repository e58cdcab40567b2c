// What an entry is called.
#ifndef SFXPACK_ENTRY_NAME_H
#define SFXPACK_ENTRY_NAME_H

#include <string>

// A file name as the entry name it would get by default.
std::string base_name(const std::string &path);

// A name as a message shows it: long ones cut, since the length is the news.
std::string shown_name(const std::string &name);

// Why name cannot be an entry's name, worded as one line of a message
// ("entry name 'a/b' holds a '/' ..."), or empty when it can.
std::string entry_name_problem(const std::string &name);

// Why path cannot name an entry of a tree payload, as one line, or empty
// when it can: components joined by single '/', none empty, "." or "..",
// each no longer than a file name, the whole within TREE_PATH_MAX, and no
// top-level component named WORK_DIR_MARKER. That it does not run through
// another entry is a question of the whole table (tree_links.h).
std::string entry_path_problem(const std::string &path);

#endif
