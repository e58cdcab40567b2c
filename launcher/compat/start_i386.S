/* The launcher's own entry point on i386, in place of the C library's
 * crt1.o (sfxpack links with -nostartfiles). The reasons are those in
 * start_x86_64.S: __libc_start_main is called at its oldest version,
 * GLIBC_2.0, with sfx_start_init as init and no fini. */
#if defined(__i386__)

	.symver sfx_libc_start_main, __libc_start_main@GLIBC_2.0

	.text
	.globl	_start
	.type	_start, @function
_start:
	.cfi_startproc
	.cfi_undefined eip		/* the outermost frame, for unwinders */
	xorl	%ebp, %ebp
	popl	%esi			/* argc */
	movl	%esp, %ecx		/* argv */
	andl	$~15, %esp
	pushl	%eax			/* with the seven pushes below, keeps */
	pushl	%esp			/* stack_end   the stack 16-byte aligned */
	pushl	%edx			/* rtld_fini, from the dynamic loader */
	pushl	$0			/* fini: none */
	pushl	$sfx_start_init
	pushl	%ecx			/* argv */
	pushl	%esi			/* argc */
	pushl	$main
	call	sfx_libc_start_main
	hlt				/* __libc_start_main never returns */
	.cfi_endproc
	.size	_start, . - _start

/* See start_x86_64.S. */
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
	.size	__dso_handle, 4
	.p2align 2
__dso_handle:
	.long	0

#endif

	.section .note.GNU-stack, "", @progbits
