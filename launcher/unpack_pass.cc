#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "launcher.h"

// The decoder hands over 4 KiB at a time; a larger stdio buffer keeps that
// from costing one write(2) per chunk. At 64 KiB a write(2) is already a
// small fraction of the time spent decoding what it carries; larger buffers
// measured no faster and only add to the resident memory. Files are written
// one at a time, so one buffer serves them all.
static char output_buffer[64 * 1024];

static uint64_t total_stored_size(void)
{
    uint64_t total = 0;
    for (const PayloadEntry *e = payload_entries; e->name != NULL; e++)
        total += e->size;
    return total;
}

static unsigned percent_of(uint64_t done, uint64_t total)
{
    // A payload of empty entries has nothing to measure against.
    if (total == 0)
        return 0;
    return (unsigned)(done * 100 / total);
}

static void erase_progress_line(int line_length)
{
    putc('\r', stdout);
    for (int i = 0; i < line_length; i++)
        putc(' ', stdout);
    putc('\r', stdout);
}

static void show_progress(const PayloadEntry *entry, const char *path,
                          unsigned percent, int *line_length)
{
    if (trace_enabled) {
        printf("unpack '%s', %u%%\n", path, percent);
        return;
    }
    if (!progress_enabled)
        return;
    if (*line_length > 0)
        erase_progress_line(*line_length);
    *line_length = printf("%u%%, unpack '%s' ...", percent, entry->name);
    fflush(stdout);
}

static char *entry_path(const PayloadEntry *entry, size_t path_room)
{
    char *path = (char *)malloc(path_room + strlen(entry->name));
    if (path == NULL)
        die("no enough memory");
    sprintf(path, "%s/%s", work_dir, entry->name);
    return path;
}

// Writes one entry; on a decoding or writing failure the run ends here with
// STATUS_EXTRACT_FAILED and the exit handler removes what was recorded so far.
// Through a descriptor of the work directory or of a directory in it, and
// never through a link: the name is then the entry's own file in the
// directory made for this run, whatever else came to be called path. In a
// flat payload a second entry of the same name replaces the first, as fopen
// would. A loader room is filled, and a mode other than 0 set, once the
// bytes are in: through the descriptor the file was written by, so that a
// file is filled exactly once, before any name links to it.
int write_entry(const PayloadEntry *entry, const char *path, int dir_fd, const char *name,
                int flags, unsigned mode, const LoaderRoomRecord *room)
{
    int fd = create_at(dir_fd, name, flags, mode != 0 ? 0600 : 0666);
    FILE *out = fd == -1 ? NULL : fdopen(fd, "w");
    if (out == NULL) {
        perror(path);
        if (fd != -1)
            close(fd);
        return -1;
    }
    setvbuf(out, output_buffer, _IOFBF, sizeof output_buffer);

    const unsigned char *stream;
    uint32_t length;
    entry_stream(entry, &stream, &length);
    if (extract_entry(stream, length, out, entry->name) != 0)
        exit(STATUS_EXTRACT_FAILED);

    if (room != NULL) {
        // The buffered tail goes out first, or it would later cover a room
        // that lies in it.
        if (fflush(out) != 0) {
            perror(entry->name);
            exit(STATUS_EXTRACT_FAILED);
        }
        if (fill_loader_room(fd, path, room) != 0) {
            fclose(out);
            return -1;
        }
    }
    if (mode != 0 && fchmod(fd, mode) != 0) {
        perror(path);
        fclose(out);
        return -1;
    }
    // Bytes still buffered reach the disk only here: a failed close is a
    // truncated file, as much a failure as a failed write.
    if (fclose(out) != 0) {
        perror(entry->name);
        exit(STATUS_EXTRACT_FAILED);
    }
    return 0;
}

static int make_executable(const PayloadEntry *entry, const char *path)
{
    if (trace_enabled)
        printf("chmod: %s %o\n", path, 0700);
    if (change_mode_at(work_dir_fd, entry->name, 0700) != 0) {
        perror(path);
        return -1;
    }
    return 0;
}

// Every entry's decoder asks malloc for a dictionary of 16 MiB, and every
// byte written passes through it. Left to malloc's defaults, such a block is
// mapped afresh for each entry (on i386 always, on x86_64 for the first), so
// the kernel faults in and zeroes a new page for every 4 KiB written. Taken
// from the heap and never trimmed during the pass, the pages one entry
// touched serve the next.
static void keep_freed_memory(void)
{
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, INT_MAX);
}

// The program may run for a long time: the launcher should not hold on to
// the dictionary's pages while it waits.
static void return_freed_memory(void)
{
    malloc_trim(0);
}

// One pass over the table: the listing in list mode, otherwise every entry
// written into the work directory. The first file written is the program.
int unpack_payload(char **program_path)
{
    uint64_t total = total_stored_size();
    uint64_t done = 0;
    size_t path_room = strlen(work_dir) + 2;
    int line_length = 0;

    int tree = is_tree_payload();
    uint32_t room_cursor = 0;
    *program_path = NULL;
    if (launch_mode != MODE_LIST)
        keep_freed_memory();
    for (const PayloadEntry *e = payload_entries; e->name != NULL; e++) {
        unsigned index = (unsigned)(e - payload_entries);
        if (launch_mode == MODE_LIST) {
            print_listing_line(e, tree ? tree_entry(index) : NULL);
            continue;
        }
        char *path = entry_path(e, path_room);
        if (trace_enabled || progress_enabled)
            show_progress(e, path, percent_of(done, total), &line_length);
        int failed = tree ? unpack_tree_entry(index, path, next_loader_room(index, &room_cursor))
                          : write_entry(e, path, work_dir_fd, e->name,
                                        O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0, NULL);
        if (failed) {
            free(path);
            return -1;
        }
        done += e->size;
        // A tree's clean-up removes the whole work directory; only the
        // program's path is kept, for the run.
        if (tree && *program_path != NULL) {
            if (is_packed_loader(e->name) && make_executable(e, path)) {
                free(path);
                return -1;
            }
            free(path);
            continue;
        }
        // Recorded first: a file that cannot be made ready is removed at exit.
        record_path(path);
        if (*program_path == NULL) {
            if (make_executable(e, path) || fill_loader_paths(path))
                return -1;
            *program_path = path;
        } else if (is_packed_loader(e->name) && make_executable(e, path)) {
            // The kernel maps an interpreter only from a file it may execute.
            return -1;
        }
    }

    if (!trace_enabled) {
        if (launch_mode != MODE_LIST && progress_enabled && line_length > 0)
            erase_progress_line(line_length);
        fflush(stdout);
    }
    close_tree_dirs();
    if (launch_mode == MODE_RUN)
        return_freed_memory();
    return 0;
}
