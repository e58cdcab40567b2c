#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "format.h"

// Started with descriptor 0, 1 or 2 closed, the launcher would hand that
// number to the first file it opens, and a message or trace line meant for
// standard error or output would be written into an unpacked file. So each
// one closed is opened on /dev/null before anything can open a file, as
// setuid programs and daemons do; the program inherits it like the others.
// Without /dev/null that cannot be made safe, and the run ends at once.
__attribute__((constructor(101))) static void open_closed_standard_fds(void)
{
    for (int fd = 0; fd <= 2; fd++) {
        // dup rather than fcntl(F_GETFD): on i386, fcntl carries a glibc
        // 2.28 symbol version that older systems lack. The lower standard
        // descriptors are open by now, so a copy never takes their place.
        int copy = dup(fd);
        if (copy != -1) {
            close(copy);
            continue;
        }
        if (errno != EBADF)
            continue;
        // The lower descriptors are open by now, so this one is the lowest
        // free number and open(2) returns it.
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd) {
            perror("/dev/null");
            _exit(STATUS_SETUP_FAILED);
        }
    }
}
