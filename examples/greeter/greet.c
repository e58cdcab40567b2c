#include <stdio.h>
#include <zlib.h>

void greet(const char *who)
{
    printf("hello, %s (zlib %s)\n", who, zlibVersion());
}
