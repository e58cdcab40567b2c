/* The program of the tiny payload, and the main program in front of the
 * large one. It does nothing, so that a run measures only its start; given
 * a number of milliseconds it waits that long first, so that the launcher
 * can be observed while its program runs. Given "clock", it prints the
 * monotonic clock in nanoseconds: when it started, to the benchmark that
 * started its launcher. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "clock") == 0) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        printf("%lld\n", (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
        return 0;
    }
    if (argc > 1) {
        long ms = atol(argv[1]);
        struct timespec pause = {ms / 1000, ms % 1000 * 1000000L};
        nanosleep(&pause, NULL);
    }
    return 0;
}
