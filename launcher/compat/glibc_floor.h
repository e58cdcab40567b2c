// Included ahead of every source of the launcher runtime (-include). Where
// the C library has several versions of a function, a reference binds to the
// newest one that the linking glibc has: on x86_64 memcpy to
// memcpy@GLIBC_2.14, whether the code calls it or the compiler does for a
// copy. .symver in each object binds it to the oldest version instead; for
// memcpy the two differ only in that the old one also copes with overlap.
// A sanitizer build keeps the plain reference, which ASan's interceptor,
// linked into its launchers, must receive. The blackbox test GlibcFloor
// reads what launchers need and names anything newer than the floor in the
// packer's target table.
#ifndef SFXLAUNCH_GLIBC_FLOOR_H
#define SFXLAUNCH_GLIBC_FLOOR_H

#if defined(__x86_64__) && !defined(__ASSEMBLER__) && !defined(SFX_SANITIZED)
__asm__(".symver memcpy, memcpy@GLIBC_2.2.5");
#endif

#endif
