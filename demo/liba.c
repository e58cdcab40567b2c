/* Needs libsfxdemob, which the program does not name: the loader finds it
 * through this library's own $ORIGIN search path. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>

const char *demo_word(void);

const char *demo_greeting(void)
{
    static char text[128];
    snprintf(text, sizeof text, "hello from the sfxlaunch demo (%s)", demo_word());
    return text;
}

const char *demo_library_path(void)
{
    Dl_info info;
    if (dladdr((void *)demo_word, &info) && info.dli_fname)
        return info.dli_fname;
    return "?";
}
