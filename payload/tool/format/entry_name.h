// What an entry is called.
#ifndef SFXPACK_ENTRY_NAME_H
#define SFXPACK_ENTRY_NAME_H

#include <string>

// A file name as the entry name it would get by default.
std::string base_name(const std::string &path);

#endif
