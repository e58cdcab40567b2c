// The init function that the launcher's _start (start_x86_64.S,
// start_i386.S) hands to __libc_start_main in place of the __libc_csu_init
// of a crt1.o from before glibc 2.34. Every glibc calls it once, before
// main; it runs the executable's constructors (.init_array), as
// __libc_csu_init did. .preinit_array is not for it: the dynamic loader runs
// that on every version. There is no _init (.init section) to call: the
// launcher links without crti.o.
typedef void (*InitFunction)(int, char **, char **);

// The bounds that the linker puts around the executable's .init_array
// (__init_array_start and __init_array_end), under names of our own.
extern "C" const InitFunction init_array_start[] __asm__("__init_array_start")
    __attribute__((visibility("hidden")));
extern "C" const InitFunction init_array_end[] __asm__("__init_array_end")
    __attribute__((visibility("hidden")));

extern "C" void sfx_start_init(int argc, char **argv, char **envp);

extern "C" void sfx_start_init(int argc, char **argv, char **envp)
{
    // Two symbols, one array between them.
    for (const InitFunction *f = init_array_start; f != init_array_end; f++)
        (*f)(argc, argv, envp);
}
