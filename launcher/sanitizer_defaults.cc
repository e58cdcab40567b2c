// Linked only into the i386 runtime of a sanitizer build. LeakSanitizer
// stops the process's threads through ptrace to scan them, which qemu's
// user-mode emulation (how i386 programs run on a kernel without 32-bit
// support) does not provide, so its check at exit would never end. The
// address and undefined-behaviour checks stay on; the x86_64 launchers
// check for leaks.
extern "C" const char *__asan_default_options(void);

extern "C" const char *__asan_default_options(void) { return "detect_leaks=0"; }
