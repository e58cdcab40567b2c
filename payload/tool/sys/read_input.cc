#include "sys/read_input.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int open_input(const std::string &path, std::string &error)
{
    // O_NONBLOCK: opening a FIFO for reading otherwise waits for a writer.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
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
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = path + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

int read_input(const std::string &path, Bytes &data, std::string &error)
{
    int fd = open_input(path, error);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        error = path + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    data.clear();
    data.reserve((size_t)st.st_size);
    unsigned char buffer[1 << 16];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = path + ": " + strerror(errno);
            close(fd);
            return -1;
        }
        if (n == 0)
            break;
        data.insert(data.end(), buffer, buffer + n);
    }
    close(fd);
    return 0;
}
