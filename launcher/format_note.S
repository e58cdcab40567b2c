/* A note that marks a launcher as made by an sfxpack that writes a manifest
 * of format MANIFEST_FORMAT: a reader that finds this note but no such
 * manifest knows the manifest was lost or replaced, not merely absent. It is
 * found through the program headers (PT_NOTE), so damage to the section
 * headers cannot hide it, and it lies in a loaded segment, so the manifest's
 * digest of the launcher's code covers it. */
#include "format.h"

	.section .note.sfxpack, "a", @note
	.p2align 2
	.long	2f - 1f			/* namesz, NUL included */
	.long	4f - 3f			/* descsz */
	.long	FORMAT_NOTE_TYPE
1:	.asciz	FORMAT_NOTE_NAME
2:	.p2align 2
3:	.long	MANIFEST_FORMAT
4:

	.section .note.GNU-stack, "", @progbits
