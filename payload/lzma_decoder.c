/* The SDK's decoder as the launcher runtime compiles it.
 *
 * On i386 its hot loop, LzmaDec_DecodeReal, is kept out of line and starts a
 * page. Natively that changes nothing; but where the kernel lacks 32-bit
 * emulation, i386 launchers run under qemu, whose translated code chains
 * jumps only within one 4 KiB page, and a loop that straddles a boundary
 * wherever the linker happened to put it was measured a fifth slower. The
 * function is just over 4 KiB, so all but its tail stays in one page. The
 * price is up to 8 KiB of padding in the file, which x86_64, never
 * emulated, does not pay. */
#include "LzmaDec.h"

#if defined(__i386__)
static int MY_FAST_CALL LzmaDec_DecodeReal(CLzmaDec *p, SizeT limit,
                                           const Byte *bufLimit)
    __attribute__((noinline, aligned(4096)));
#endif

/* The SDK ships its decoder only as source. */
#include "LzmaDec.c" /* NOLINT(bugprone-suspicious-include) */
