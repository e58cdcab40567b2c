/* The demo program: proves that it runs from its unpacked copy and that its
 * libraries were found beside it, through $ORIGIN. */
#include <stdio.h>
#include <unistd.h>

const char *demo_greeting(void);
const char *demo_library_path(void);

int main(int argc, char **argv)
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = '\0';

    printf("%s\n", demo_greeting());
    printf("running as %s from %s\n", argv[0], self);
    printf("libraries loaded from beside it: %s\n", demo_library_path());
    for (int i = 1; i < argc; i++)
        printf("argument %d: %s\n", i, argv[i]);
    return 0;
}
