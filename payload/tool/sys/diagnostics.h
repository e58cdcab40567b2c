// The packer's one printer of errors and warnings on standard error:
// "sfxpack: TEXT" and "sfxpack: warning: TEXT", each on a line of its own,
// never in the middle of the progress line. It lives in sys/, the lowest
// layer, because every layer prints through it.
#ifndef SFXPACK_DIAGNOSTICS_H
#define SFXPACK_DIAGNOSTICS_H

#include <string>

void print_error(const std::string &text);
void print_warning(const std::string &text);

#endif
