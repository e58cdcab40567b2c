// The launcher: reads its switches, unpacks the embedded payload into a work
// directory, runs the first entry and removes what it unpacked.
#ifndef SFXLAUNCH_LAUNCHER_H
#define SFXLAUNCH_LAUNCHER_H

#include "payload.h"

enum LaunchMode { MODE_RUN = 0, MODE_UNPACK = 1, MODE_LIST = 2 };

enum { WORK_DIR_SIZE = 65536 };

// Written only by scan_arguments, before anything else runs.
extern LaunchMode launch_mode;
extern int trace_enabled;
extern int progress_enabled;

// Written by name_work_dir (again for each temp directory tried in run
// mode); read again at exit.
extern char work_dir[WORK_DIR_SIZE];
// Run mode: the directory work_dir was made in, as given (TEMP, TMP, /tmp
// or a fallback).
extern const char *temp_dir;
// The work directory, open once it was made and found private; every entry
// is written relative to it. -1 before.
extern int work_dir_fd;

int launch_main(int argc, char **argv);

// command_line.cc
int scan_arguments(int *argc, char **argv);
void print_version(void);
// tree: the entry's record in a tree payload; null in a flat one.
void print_listing_line(const PayloadEntry *entry, const TreeEntry *tree);
// Returns -1, reported, when what was printed did not all reach standard
// output; a reader that closed its end is not a failure.
int flush_standard_output(void);

// work_dir.cc
void name_work_dir(void);
int make_work_dir(void);
void record_path(char *path);
// Frees what record_path kept, removing nothing: for files that stay.
void forget_recorded_paths(void);
void remove_extracted_files(void);
[[noreturn]] void die(const char *message);

// temp_dir.cc: which temp directory a run's work directory goes in: the
// caller's, unless it will not do; then the fallbacks, in turn. Each one
// that will not do is passed over, traced.
const char *caller_temp_dir(void);
// Whether the caller's temp directory, dir, will do.
int caller_temp_dir_will_do(const char *dir);
// The next fallback that will do, or null, reported, when none is left.
// error says why no work directory could be made in the fallback answered
// before (errno), if any.
const char *next_fallback_temp_dir(int error);

// The rule's verdict on a directory's status: null when it passes, else
// why not ("a symbolic link", "owned by uid 1000", ...). A private_dir, as
// the runtime directory, must be the caller's own, mode 0700.
struct FileStatus;
const char *dir_status_problem(const FileStatus *status, int private_dir);
enum { PASSES = 1, FAILS = 0, UNKNOWN = -1 };
// Whether programs can run from the file system under dir: FAILS when it is
// read-only or mounted noexec, UNKNOWN (errno set) when dir cannot be
// examined; reason says why.
int programs_run_in(const char *dir, const char **reason);

// reclaim.cc
void reclaim_dead_work_dirs(void);

// compat/dir_calls.cc: the calls relative to a directory descriptor, and stat,
// as the kernel has them; none but change_mode_at follows a symbolic link in
// its last step.
struct FileStatus {
    uint64_t device;
    uint64_t inode;
    unsigned mode;
    unsigned uid;
    uint64_t size;
    int64_t change_sec;  // ctime
    long change_nsec;
    int64_t modify_sec;  // mtime
};
int open_at(int dir_fd, const char *name, int flags);  // close-on-exec
// Not close-on-exec: a lock the program is to hold.
int open_inherited_at(int dir_fd, const char *name, int flags);
int create_at(int dir_fd, const char *name, int flags, unsigned mode);  // close-on-exec
int status_at(int dir_fd, const char *name, FileStatus *status);
int status_of(int fd, FileStatus *status);
int unlink_at(int dir_fd, const char *name, int flags);
int change_mode_at(int dir_fd, const char *name, unsigned mode);  // follows a link
int same_file(const FileStatus *a, const FileStatus *b);
int make_dir_at(int dir_fd, const char *name, unsigned mode);
int symlink_at(const char *target, int dir_fd, const char *name);
int link_at(int from_fd, const char *from, int to_fd, const char *to);
// getdents64: records of DirectoryRecord, or 0 at the end, or -1.
struct DirectoryRecord {
    uint64_t inode;
    int64_t offset;
    unsigned short length;
    unsigned char type;  // DT_*
    char name[1];
};
long read_dir_entries(int dir_fd, void *buffer, unsigned size);
int rename_at(int from_fd, const char *from, int to_fd, const char *to);
// Sets the access and modification times of the file open as fd to now.
int touch_fd(int fd);

// unpack_pass.cc
int unpack_payload(char **program_path);
// room: the loader room to fill once the bytes are in, or null.
int write_entry(const PayloadEntry *entry, const char *path, int dir_fd, const char *name,
                int flags, unsigned mode, const LoaderRoomRecord *room);

// tree_unpack.cc: the entries of a tree payload (payload_tree present).
int is_tree_payload(void);
// The entry's record; null past the record's count.
const TreeEntry *tree_entry(unsigned index);
// Makes entry index at path, its full path, with every directory on the
// way; -1 reported on the path that failed. Entries come in table order.
// room: the file's loader room (next_loader_room), or null.
int unpack_tree_entry(unsigned index, char *path, const LoaderRoomRecord *room);
// Closes the directory kept open for the next entry.
void close_tree_dirs(void);

// tree_remove.cc: a whole directory tree, through descriptors, never
// following a link or leaving the directory's file system.
struct TreeRemoval {
    int report;           // perror each name that cannot be removed; trace under @debug
    int check_owner;      // only what uid owns, the rest left (reclaiming)
    unsigned uid;
    unsigned long *left;  // names that may still be removed; null: no bound
    int ran_out;          // set when left reached 0 before all was done
};
// Removes everything in dir_fd, the directory at path (for messages),
// except skip (null: nothing skipped) in dir_fd itself.
void remove_dir_contents(int dir_fd, const char *path, const char *skip, TreeRemoval *rules);
// Removes the directory name of parent_fd with all it holds, silently, by
// the same walk (a cache directory); 0 when it is gone.
int remove_tree_at(int parent_fd, const char *name);

// cache_dir.cc (sfxpack --unpack-once): in run mode, the program ready in
// its complete, checked cache directory, unpacked there first when it has
// none, work_dir its path and work_dir_fd holding its lock shared: 0. 1
// when the run goes on as an uncached one (traced), -1 when unpacking
// failed (reported).
int enter_cache_dir(char **program_path);
enum { CACHE_PATH_MAX = 3072, CACHE_NAME_MAX = 256 };
// ${XDG_CACHE_HOME:-$HOME/.cache}/sfxlaunch, open; the program's name cut
// to what a cache directory's name takes.
extern char cache_root[CACHE_PATH_MAX];
extern int cache_root_fd;
extern char cache_prefix[CACHE_NAME_PREFIX_MAX + 1];
// Renames the directory entry of cache_root to a fresh name, entry and
// WORK_DIR_SUFFIX's six characters, written into aside (CACHE_NAME_MAX).
int move_aside(const char *entry, char *aside);

// cache_record.cc: the completion record, written last into the directory
// open as dir_fd, whose final absolute path is final_path; and whether the
// directory still matches it (its descriptor in *record_fd, or -1).
int write_cache_record(int dir_fd, const char *final_path);
int cache_record_matches(int dir_fd, const char *final_path, int *record_fd);

// cache_prune.cc
// Other cache directories of this program's name that no run holds: those
// being unpacked by a run that died, and complete ones unused for 30 days.
// A bounded number per call.
void prune_cache_dirs(const char *own);

// exec_in_place.cc: returns only when the exec failed (reported), with
// STATUS_LAUNCH_FAILED.
int exec_in_place(const char *program_path, int argc, char **argv);

// loader_paths.cc: for a program packed with its own C library, writes the
// work directory into the room its file keeps for its loader's path and its
// library directory; does nothing for any other payload.
int fill_loader_paths(const char *program_path);
// A tree's other executables keep rooms of their own, listed by entry in
// ascending order: the room of entry index, or null when it has none.
// cursor starts at 0 for a pass over the table and only moves forward, so
// the table is walked once whatever the number of entries.
const LoaderRoomRecord *next_loader_room(unsigned index, uint32_t *cursor);
// Fills room in the file open as fd, whose full path is path, as
// fill_loader_paths fills the program's.
int fill_loader_room(int fd, const char *path, const LoaderRoomRecord *room);
// Whether a work directory whose absolute path has dir_length bytes fits
// every room, the program's and its other executables'; true for any other
// payload.
int loader_rooms_hold(size_t dir_length);
// True for the entry that is such a program's loader.
int is_packed_loader(const char *name);
// For such a program, and for a payload with --env records: why a work
// directory in dir, relative to the current directory or absolute, cannot
// be written into a search path; null when it can, and for any other
// payload.
const char *search_path_problem(const char *dir);
// The work directory as an absolute path; as it is when that cannot be had.
const char *absolute_work_dir_path(void);

// program_env.cc: the environment the program is started with: the
// launcher's own, plus the payload's --env records expanded (traced under
// @debug). Made once; the launcher's own environment is never changed.
char **program_environment(void);

// run_program.cc
int launch_program(const char *program_path, int argc, char **argv);
int run_program(const char *path, char *const argv[]);
// The program's arguments: its entry name, then the caller's less the
// launcher's switches.
char **program_argv(int argc, char **argv);
void trace_exec(const char *path, char *const argv[]);

// signals.cc
void print_pending_sigchld(void);
// Async-signal-safe: the child calls it between vfork and execv.
void restore_inherited_sigpipe(void);
// Every disposition the launcher changed for itself, back to the caller's.
void restore_caller_dispositions(void);

// compat/errno_text.cc
enum { ERRNO_TEXT_ROOM = 32 };
// What strerror says for error in the C locale, touching no locale, stdio or
// heap (safe in a vfork child); an unknown number is spelt into room.
const char *errno_text(int error, char room[ERRNO_TEXT_ROOM]);

#endif
