/* The program of the tiny payload, and the main program in front of the
 * large one. It does nothing, so that a run measures only its start; given
 * a number of milliseconds it waits that long first, so that the launcher
 * can be observed while its program runs. */
#include <stdlib.h>
#include <time.h>

int main(int argc, char **argv)
{
    if (argc > 1) {
        long ms = atol(argv[1]);
        struct timespec pause = {ms / 1000, ms % 1000 * 1000000L};
        nanosleep(&pause, NULL);
    }
    return 0;
}
