// A program packed with its own C library (sfxpack --libc) starts through
// the loader packed beside it, straight from its own file: the kernel reads
// the loader's path from the program's PT_INTERP, so /proc/self/exe and
// AT_EXECFN name the program, as on a machine whose C library it was built
// for, and nothing is added to its environment, so whatever it starts runs
// on the host's own C library. The loader finds the program's libraries
// through its DT_RPATH. Both paths must be absolute, and $ORIGIN will not
// do for the program itself: the loader takes the program's directory from
// /proc/self/exe, which a chroot may not have. Only the run knows the work
// directory, so the packer reserved room for both (format.h) and this fills
// it in, in the file just written, before anything runs it.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "launcher.h"

static char absolute_dir[LOADER_PATH_ROOM];

// The work directory as an absolute path, or -1 when it does not fit.
static int absolute_work_dir(size_t *length)
{
    size_t own = strlen(work_dir);
    size_t at = 0;
    if (work_dir[0] != '/') {
        if (getcwd(absolute_dir, sizeof absolute_dir) == NULL)
            return -1;
        at = strlen(absolute_dir);
        absolute_dir[at++] = '/';
    }
    if (at + own >= sizeof absolute_dir)
        return -1;
    memcpy(absolute_dir + at, work_dir, own + 1);
    *length = at + own;
    return 0;
}

const char *absolute_work_dir_path(void)
{
    size_t length = 0;
    return absolute_work_dir(&length) == 0 ? absolute_dir : work_dir;
}

// The loader splits its search path at each ':' and expands what follows a
// '$' ($ORIGIN, $LIB, $PLATFORM): a work directory whose path holds either
// would send the program's library lookups elsewhere.
static const char *search_path_breaker(const char *text)
{
    if (strchr(text, ':') != NULL)
        return "a path with ':' in it";
    if (strchr(text, '$') != NULL)
        return "a path with '$' in it";
    return NULL;
}

const char *search_path_problem(const char *dir)
{
    // Values given with --env are often search paths too, and $ORIGIN in
    // them is the work directory.
    const LoaderPaths *paths = &payload_loader_paths;
    const PayloadEnvironment *variables = &payload_environment;
    if (paths == NULL && variables == NULL)
        return NULL;
    // Judged as absolute_work_dir will write it. A current directory that
    // cannot be named is reported when the paths are written.
    const char *problem = NULL;
    if (dir[0] != '/' && dir[0] != '\0') {
        char cwd[LOADER_PATH_ROOM];
        if (getcwd(cwd, sizeof cwd) != NULL)
            problem = search_path_breaker(cwd);
    }
    if (problem == NULL)
        problem = search_path_breaker(dir);
    if (problem == NULL)
        problem = search_path_breaker(payload_entries[0].name);
    return problem;
}

static int write_at(int fd, const char *path, const char *first, size_t first_length,
                    const char *second, uint32_t at)
{
    char text[LOADER_PATH_ROOM];
    size_t second_length = second == NULL ? 0 : strlen(second);
    memcpy(text, first, first_length);
    if (second != NULL) {
        text[first_length] = '/';
        memcpy(text + first_length + 1, second, second_length);
        first_length += 1 + second_length;
    }
    text[first_length++] = '\0';
    // The 64-bit calls: on i386 a program may lie beyond 2 GiB.
    if (pwrite64(fd, text, first_length, (off64_t)at) != (ssize_t)first_length) {
        perror(path);
        return -1;
    }
    return 0;
}

// The loader's path and the work directory into one file's rooms, each
// checked against its room first: a path cut short would name some other
// file.
static int fill_rooms(int fd, const char *path, uint32_t interpreter_at,
                      uint32_t interpreter_room, uint32_t library_dir_at,
                      uint32_t library_dir_room)
{
    const LoaderPaths *paths = &payload_loader_paths;
    size_t dir_length = 0;
    size_t loader_length = strlen(paths->loader_name);
    if (absolute_work_dir(&dir_length) != 0 || dir_length + 1 + loader_length >= interpreter_room ||
        dir_length >= library_dir_room) {
        long long most = (long long)interpreter_room - 2 - (long long)loader_length;
        if ((long long)library_dir_room - 1 < most)
            most = (long long)library_dir_room - 1;
        fprintf(stderr, "%s: the work directory's path is too long for the packed loader's "
                        "(at most %lld bytes)\n",
                path, most < 0 ? 0 : most);
        return -1;
    }
    if (write_at(fd, path, absolute_dir, dir_length, paths->loader_name, interpreter_at) ||
        write_at(fd, path, absolute_dir, dir_length, NULL, library_dir_at))
        return -1;
    return 0;
}

int fill_loader_paths(const char *program_path)
{
    const LoaderPaths *paths = &payload_loader_paths;
    if (paths == NULL)
        return 0;
    int fd = open_at(work_dir_fd, payload_entries[0].name, O_WRONLY | O_NOFOLLOW);
    if (fd < 0) {
        perror(program_path);
        return -1;
    }
    if (fill_rooms(fd, program_path, paths->interpreter_at, paths->interpreter_room,
                   paths->library_dir_at, paths->library_dir_room)) {
        close(fd);
        return -1;
    }
    if (close(fd) != 0) {
        perror(program_path);
        return -1;
    }
    return 0;
}

const LoaderRoomRecord *next_loader_room(unsigned index, uint32_t *cursor)
{
    const LoaderPaths *paths = &payload_loader_paths;
    if (paths == NULL)
        return NULL;
    while (*cursor < paths->other_count && paths->others[*cursor].entry < index)
        ++*cursor;
    if (*cursor < paths->other_count && paths->others[*cursor].entry == index)
        return &paths->others[*cursor];
    return NULL;
}

int fill_loader_room(int fd, const char *path, const LoaderRoomRecord *room)
{
    return fill_rooms(fd, path, room->interpreter_at, room->interpreter_room,
                      room->library_dir_at, room->library_dir_room);
}

int loader_rooms_hold(size_t dir_length)
{
    const LoaderPaths *paths = &payload_loader_paths;
    if (paths == NULL)
        return 1;
    size_t loader_length = strlen(paths->loader_name);
    uint32_t interpreter_room = paths->interpreter_room;
    uint32_t library_dir_room = paths->library_dir_room;
    for (uint32_t i = 0; i < paths->other_count; i++) {
        if (paths->others[i].interpreter_room < interpreter_room)
            interpreter_room = paths->others[i].interpreter_room;
        if (paths->others[i].library_dir_room < library_dir_room)
            library_dir_room = paths->others[i].library_dir_room;
    }
    return dir_length + 2 + loader_length <= interpreter_room && dir_length < library_dir_room;
}

int is_packed_loader(const char *name)
{
    const LoaderPaths *paths = &payload_loader_paths;
    return paths != NULL && strcmp(name, paths->loader_name) == 0;
}
