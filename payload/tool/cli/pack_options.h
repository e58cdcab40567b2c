// The packer's command line.
#ifndef SFXPACK_PACK_OPTIONS_H
#define SFXPACK_PACK_OPTIONS_H

#include <string>
#include <vector>

#include "cli/pack_request.h"

// Fills options from argv. Returns 0, or -1 with a one-line reason in error.
int parse_pack_options(int argc, char **argv, PackOptions &options,
                       std::string &error);

// Checks what the launcher would choke on. Problems that --force may waive
// are returned in warnings when it is given, and in error otherwise.
int check_pack_options(const PackOptions &options,
                       std::vector<std::string> &warnings, std::string &error);

extern const char pack_usage[];

#endif
