#include "sys/mapped_file.h"

#include <errno.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <mutex>

static FileIdentity identity_of(const struct stat &st)
{
    FileIdentity id;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.size = (uint64_t)st.st_size;
    id.mtime_seconds = (int64_t)st.st_mtim.tv_sec;
    id.mtime_nanoseconds = st.st_mtim.tv_nsec;
    return id;
}

static bool same_identity(const FileIdentity &a, const FileIdentity &b)
{
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.mtime_seconds == b.mtime_seconds && a.mtime_nanoseconds == b.mtime_nanoseconds;
}

static std::string changed(const std::string &path)
{
    return path + ": changed since sfxpack read it; nothing written";
}

// Opens a regular file for reading, without ever waiting: a FIFO or a
// device named as an input is refused rather than blocking the packer until
// something writes to it. Returns the descriptor, or -1 with "PATH: reason".
static int open_input(const std::string &path, struct stat &st, std::string &error)
{
    // O_NONBLOCK: opening a FIFO for reading otherwise waits for a writer.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &st) != 0) {
        error = path + ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + ": " + (S_ISDIR(st.st_mode) ? "is a directory" : "not a regular file");
        close(fd);
        return -1;
    }
    return fd;
}

MappedFile::~MappedFile()
{
    if (data != nullptr && size > 0)
        munmap((void *)data, size);
}

int MappedFile::open(const std::string &name, std::string &error)
{
    struct stat st;
    int fd = open_input(name, st, error);
    if (fd < 0)
        return -1;
    path = name;
    identity = identity_of(st);
    mode = st.st_mode;
    // Without the attribute, or on a file system without them, it has none.
    capabilities = fgetxattr(fd, "security.capability", nullptr, 0) > 0;
    size = (size_t)st.st_size;
    if (size == 0) {
        close(fd);
        static const unsigned char nothing = 0;
        data = &nothing;
        return 0;
    }
    // Private and writable only so that libelf may work in place on its
    // copy; the file is never written.
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        error = name + ": " + strerror(errno);
        size = 0;
        return -1;
    }
    data = (const unsigned char *)map;
    return 0;
}

namespace {

// Where the read in progress on this thread goes on when its file is cut
// short; null when the thread reads no mapped file.
thread_local sigjmp_buf *cut_short = nullptr;

void on_bus_error(int signal_number)
{
    if (cut_short != nullptr)
        siglongjmp(*cut_short, 1);
    // Not a mapped file cut short: the packer's own fault, which ends it as
    // it would have without this handler.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

std::once_flag bus_error_caught;

void catch_bus_error()
{
    struct sigaction action = {};
    action.sa_handler = on_bus_error;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
}

}  // namespace

int read_mapped(const MappedFile &file, void (*read)(void *context), void *context,
                std::string &error)
{
    std::call_once(bus_error_caught, catch_bus_error);
    sigjmp_buf jump;
    // The mask saved here unblocks SIGBUS again when the handler jumps back.
    if (sigsetjmp(jump, 1) != 0) {
        cut_short = nullptr;
        error = changed(file.path);
        return -1;
    }
    cut_short = &jump;
    read(context);
    cut_short = nullptr;
    return 0;
}

namespace {

struct Copy {
    const MappedFile *file;
    unsigned char *to;
};

void copy_bytes(void *context)
{
    Copy *copy = (Copy *)context;
    memcpy(copy->to, copy->file->data, copy->file->size);
}

}  // namespace

int copy_mapped(const MappedFile &file, Bytes &bytes, std::string &error)
{
    bytes.resize(file.size);
    Copy copy = {&file, bytes.data()};
    if (file.size > 0 && read_mapped(file, copy_bytes, &copy, error) != 0) {
        bytes.clear();
        return -1;
    }
    return 0;
}

int map_unchanged(const std::string &path, const FileIdentity &read_as, MappedFile &file,
                  std::string &error)
{
    if (file.open(path, error) != 0)
        return -1;
    if (same_identity(file.identity, read_as))
        return 0;
    error = changed(path);
    return -1;
}

int check_unchanged(const std::string &path, const FileIdentity &read_as, std::string &error)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        error = path + ": " + strerror(errno);
        return -1;
    }
    if (same_identity(identity_of(st), read_as))
        return 0;
    error = changed(path);
    return -1;
}

int read_whole_file(const std::string &path, Bytes &bytes, std::string &error)
{
    MappedFile file;
    if (file.open(path, error) != 0)
        return -1;
    return copy_mapped(file, bytes, error);
}
