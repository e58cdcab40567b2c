/* The launcher's own entry point on x86_64, in place of the C library's
 * crt1.o (sfxpack links with -nostartfiles).
 *
 * A crt1.o from glibc 2.34 on calls __libc_start_main@GLIBC_2.34, which no
 * older glibc has. This calls the oldest version, GLIBC_2.2.5, which every
 * x86_64 glibc keeps, and so needs to pass what that calling convention
 * expects: init, which old glibc calls instead of running the executable's
 * .init_array itself. glibc 2.34 and later still call a non-null init in
 * that place and then leave the array alone, so sfx_start_init (start_init.cc)
 * runs the constructors exactly once on either. .preinit_array is run by the
 * dynamic loader and .fini_array by its rtld_fini, on every version, so fini
 * is null, as a glibc 2.34 crt1.o passes it.
 *
 * Which version a reference binds to is fixed here, in this object, with
 * .symver: not by the glibc that built the runtime nor by the one whose cc
 * links the launcher. */
#if defined(__x86_64__)

	.symver sfx_libc_start_main, __libc_start_main@GLIBC_2.2.5

	.text
	.globl	_start
	.type	_start, @function
_start:
	.cfi_startproc
	.cfi_undefined rip		/* the outermost frame, for unwinders */
	xorl	%ebp, %ebp
	movq	%rdx, %r9		/* rtld_fini, from the dynamic loader */
	popq	%rsi			/* argc */
	movq	%rsp, %rdx		/* argv */
	andq	$~15, %rsp
	pushq	%rax			/* keeps the stack 16-byte aligned */
	pushq	%rsp			/* stack_end */
	xorl	%r8d, %r8d		/* fini: none */
	leaq	sfx_start_init(%rip), %rcx
	leaq	main(%rip), %rdi
	call	*sfx_libc_start_main@GOTPCREL(%rip)
	hlt				/* __libc_start_main never returns */
	.cfi_endproc
	.size	_start, . - _start

/* What crt1.o and crtbegin.o define besides _start. glibc's stdio looks for
 * _IO_stdin_used to tell a program of the current stdio ABI from one of
 * libc5's time; __dso_handle tells atexit handlers of the executable from a
 * library's (0: the executable). */
	.section .rodata
	.globl	_IO_stdin_used
	.type	_IO_stdin_used, @object
	.size	_IO_stdin_used, 4
	.p2align 2
_IO_stdin_used:
	.long	0x20001

	.data
	.hidden	__dso_handle
	.globl	__dso_handle
	.type	__dso_handle, @object
	.size	__dso_handle, 8
	.p2align 3
__dso_handle:
	.quad	0

#endif

	.section .note.GNU-stack, "", @progbits
