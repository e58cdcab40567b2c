// The packer's one buffer type: files, streams and section contents.
#ifndef SFXPACK_BYTES_H
#define SFXPACK_BYTES_H

#include <vector>

typedef std::vector<unsigned char> Bytes;

#endif
