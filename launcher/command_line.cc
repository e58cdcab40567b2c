#include <errno.h>
#include <string.h>

#include "launcher.h"

LaunchMode launch_mode = MODE_RUN;
int trace_enabled = 0;
int progress_enabled = 0;

static const char version_string[] = SFX_LAUNCHER_VERSION;

// Takes the launcher's own switches out of argv, keeping the other arguments
// in order at argv[1..argc-1]. Returns 1 when "@version" was given.
int scan_arguments(int *argc, char **argv)
{
    int version_requested = 0;
    int count = *argc;
    int write_index = 1;

    if (count <= 1)
        return 0;

    for (int i = 1; i < count; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "@unpack") == 0)
            launch_mode = MODE_UNPACK;
        else if (strcmp(arg, "@debug") == 0)
            trace_enabled = 1;
        else if (strcmp(arg, "@verbose") == 0)
            progress_enabled = 1;
        else if (strcmp(arg, "@list") == 0)
            launch_mode = MODE_LIST;
        else if (strcmp(arg, "@version") == 0)
            version_requested = 1;
        else {
            argv[write_index++] = argv[i];
            continue;
        }
        (*argc)--;
    }
    return version_requested;
}

void print_version(void) { puts(version_string); }

int flush_standard_output(void)
{
    if (fflush(stdout) == 0 && !ferror(stdout))
        return 0;
    // A reader that has gone (`@list | head -1`) wanted no more: that is
    // not a failure to report.
    if (errno == EPIPE)
        return 0;
    perror("standard output");
    return -1;
}

// A tree's other kinds have no bytes of their own, and show as ls -F and
// ls -l would: a directory ends in '/', a link points at its target, a
// hard link names the file it is another name of.
void print_listing_line(const PayloadEntry *entry, const TreeEntry *tree)
{
    unsigned kind = tree == NULL ? (unsigned)TREE_FILE : tree->kind;
    if (kind == TREE_DIRECTORY)
        printf("%11lu %s/\n", (unsigned long)entry->size, entry->name);
    else if (kind == TREE_SYMLINK)
        printf("%11lu %s -> %s\n", (unsigned long)entry->size, entry->name,
               tree->target != NULL ? tree->target : "");
    else if (kind == TREE_HARD_LINK && tree->link < payload_tree.count)
        printf("%11lu %s link to %s\n", (unsigned long)entry->size, entry->name,
               payload_entries[tree->link].name);
    else
        printf("%11lu %s\n", (unsigned long)entry->size, entry->name);
}
