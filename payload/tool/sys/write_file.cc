#include "sys/write_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

int write_file(const std::string &path, const void *data, size_t size,
               std::string &error)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = path + ": " + strerror(errno);
        return -1;
    }
    if (write_all(fd, data, size) != 0) {
        error = path + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    if (close(fd) != 0) {
        error = path + ": " + strerror(errno);
        return -1;
    }
    return 0;
}

int write_all(int fd, const void *data, size_t size)
{
    const char *p = (const char *)data;
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return -1;
        }
        p += n;
        size -= (size_t)n;
    }
    return 0;
}

int write_at(int fd, const void *data, size_t size, uint64_t offset)
{
    const char *p = (const char *)data;
    while (size > 0) {
        ssize_t n = pwrite(fd, p, size, (off_t)offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return -1;
        }
        p += n;
        size -= (size_t)n;
        offset += (uint64_t)n;
    }
    return 0;
}
