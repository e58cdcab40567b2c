// The completion record of a cache directory (sfxpack --unpack-once): what
// each entry was once the directory was complete, written last, so that a
// directory without a sound record is never used. Checking it costs one
// fstatat(2) per entry, whatever the entries' bytes.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "launcher.h"

static const char record_magic[8] = {'S', 'F', 'X', 'D', 'O', 'N', 'E', '1'};

struct RecordHead {
    char magic[8];
    unsigned char id[CACHE_ID_SIZE];
    uint32_t count;
    uint32_t path_length;  // the directory's absolute path ends the record, no NUL
};

// Per entry: what a deletion, a truncation, a copy over it (cp keeps the
// inode but not the ctime) or a change of kind alters.
struct RecordEntry {
    uint64_t inode;
    uint64_t size;
    int64_t change_sec;
    uint32_t change_nsec;
    uint32_t mode;
};

static size_t entry_count(void)
{
    size_t count = 0;
    while (payload_entries[count].name != NULL)
        count++;
    return count;
}

static size_t record_size(size_t path_length)
{
    return sizeof(RecordHead) + path_length + entry_count() * sizeof(RecordEntry);
}

// A file decoded from its stream, whose size its header tells; links and
// directories have no stream of their own.
static int is_decoded_file(size_t i)
{
    const PayloadTree *tree = &payload_tree;
    return tree == NULL || i >= tree->count || tree->entries[i].kind == TREE_FILE;
}

static void fill_entry(const FileStatus *status, RecordEntry *entry)
{
    entry->inode = status->inode;
    entry->size = status->size;
    entry->change_sec = status->change_sec;
    entry->change_nsec = (uint32_t)status->change_nsec;
    entry->mode = status->mode;
}

// Directories are left out of all but their kind and inode: a program may
// add files to them (Python's __pycache__), which changes their size and
// ctime and is no damage.
static int entry_matches(const FileStatus *status, const RecordEntry *entry)
{
    if ((status->mode & S_IFMT) != (entry->mode & S_IFMT) || status->inode != entry->inode)
        return 0;
    if (S_ISDIR(status->mode))
        return 1;
    return status->size == entry->size && status->change_sec == entry->change_sec &&
           (uint32_t)status->change_nsec == entry->change_nsec && status->mode == entry->mode;
}

// Each entry's status as unpacked in dir_fd, checked against the payload.
static int note_entries(int dir_fd, RecordEntry *entries, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        const PayloadEntry *e = &payload_entries[i];
        FileStatus status;
        if (status_at(dir_fd, e->name, &status) != 0)
            return -1;
        // What was written is what the stream holds, or the record would
        // keep a short file as whole.
        if (is_decoded_file(i)) {
            const unsigned char *stream;
            uint32_t length;
            entry_stream(e, &stream, &length);
            if (!S_ISREG(status.mode) || length < LZMA_ALONE_HEADER_SIZE ||
                status.size != lzma_alone_unpacked_size(stream)) {
                errno = EIO;
                return -1;
            }
        }
        fill_entry(&status, &entries[i]);
    }
    return 0;
}

static int write_record(int dir_fd, const char *record, size_t size)
{
    int fd = create_at(dir_fd, WORK_DIR_MARKER, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd == -1)
        return -1;
    ssize_t written = write(fd, record, size);
    int error = written == (ssize_t)size ? 0 : written < 0 ? errno : ENOSPC;
    if (close(fd) != 0 && error == 0)
        error = errno;
    errno = error;
    return error == 0 ? 0 : -1;
}

int write_cache_record(int dir_fd, const char *final_path)
{
    size_t path_length = strlen(final_path);
    size_t size = record_size(path_length);
    char *record = (char *)calloc(1, size);
    if (record == NULL)
        die("no enough memory");
    RecordHead *head = (RecordHead *)record;
    memcpy(head->magic, record_magic, sizeof record_magic);
    memcpy(head->id, payload_cache.id, CACHE_ID_SIZE);
    head->count = (uint32_t)entry_count();
    head->path_length = (uint32_t)path_length;
    RecordEntry *entries = (RecordEntry *)(record + sizeof *head);
    memcpy(record + size - path_length, final_path, path_length);
    int result = note_entries(dir_fd, entries, head->count) == 0 &&
                         write_record(dir_fd, record, size) == 0
                     ? 0
                     : -1;
    int error = errno;
    free(record);
    errno = error;
    return result;
}

int cache_record_matches(int dir_fd, const char *final_path, int *record_fd)
{
    *record_fd = open_at(dir_fd, WORK_DIR_MARKER, O_RDONLY | O_NOFOLLOW);
    if (*record_fd == -1)
        return 0;
    size_t path_length = strlen(final_path);
    size_t size = record_size(path_length);
    FileStatus status;
    if (status_of(*record_fd, &status) != 0 || !S_ISREG(status.mode) || status.size != size)
        return 0;
    char *record = (char *)malloc(size);
    if (record == NULL)
        die("no enough memory");
    const RecordHead *head = (const RecordHead *)record;
    const RecordEntry *entries = (const RecordEntry *)(record + sizeof *head);
    int matches = read(*record_fd, record, size) == (ssize_t)size &&
                  memcmp(head->magic, record_magic, sizeof record_magic) == 0 &&
                  memcmp(head->id, payload_cache.id, CACHE_ID_SIZE) == 0 &&
                  head->count == entry_count() && head->path_length == path_length &&
                  memcmp(record + size - path_length, final_path, path_length) == 0;
    for (size_t i = 0; matches && i < head->count; i++)
        matches = status_at(dir_fd, payload_entries[i].name, &status) == 0 &&
                  entry_matches(&status, &entries[i]);
    free(record);
    return matches;
}
