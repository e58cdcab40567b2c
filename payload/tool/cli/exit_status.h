// How sfxpack ends: 0 when all went well, EXIT_FAILED when the work could
// not be done or the launcher it read is not sound, EXIT_USAGE for a command
// line it cannot act on; either way one line on standard error says why.
#ifndef SFXPACK_EXIT_STATUS_H
#define SFXPACK_EXIT_STATUS_H

enum { EXIT_FAILED = 1, EXIT_USAGE = 2 };

#endif
