/* A note that marks a launcher as made by an sfxpack that writes a manifest
 * of format 2: a reader that finds this note but no such manifest knows the
 * manifest was lost or replaced, not merely absent. It is found through the
 * program headers (PT_NOTE), so damage to the section headers cannot hide
 * it, and it lies in a loaded segment, so the manifest's digest of the
 * launcher's code covers it. */
	.section .note.sfxpack, "a", @note
	.p2align 2
	.long	8			/* namesz: "sfxpack\0" */
	.long	4			/* descsz */
	.long	1			/* type: the manifest format written */
	.asciz	"sfxpack"
	.long	2

	.section .note.GNU-stack, "", @progbits
