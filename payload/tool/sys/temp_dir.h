// A private temporary directory for the files the packer makes on the way.
#ifndef SFXPACK_TEMP_DIR_H
#define SFXPACK_TEMP_DIR_H

#include <string>

// Removed with everything in it by the destructor.
struct TempDir {
    std::string path;
    int signal_slot = -1;  // removed by a fatal signal too
    int create(std::string &error);
    ~TempDir();
};

#endif
